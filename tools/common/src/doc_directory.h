// Where this build installs the documentation that the tools' usage texts and manual pages name
// (CMAKE_INSTALL_PREFIX, then SKYLOOM_DOC_DIR; the package's prefix is /usr), so that an
// installed page never points at a path of the source tree. Constants; any thread.
#pragma once

namespace skyloom::tools {

constexpr const char* kDocDirectory = SKYLOOM_DOC_DIRECTORY;

} // namespace skyloom::tools
