// Where the package installs the documentation that the tools' usage texts and manual pages
// name (cmake/packaging.cmake: the package's prefix /usr, then its documentation directory),
// so that an installed page never points at a path of the source tree. Constants; any thread.
#pragma once

namespace skyloom::tools {

constexpr const char* kDocDirectory = "/usr/share/doc/skyloom-analytics-plugin";

} // namespace skyloom::tools
