# Installation and the Debian package. `cmake --install` puts the plugin library into lib/ and
# the tools into bin/ (their own folders install them); `cpack -G DEB` (./dev.sh package) makes
# a package that installs the same tree under /opt/skyloom and depends on what the binaries
# link at run time (libzmq5 and the C/C++ run-time libraries), as dpkg-shlibdeps finds it.

# Installing (and packaging) takes what is built; it does not first build every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(TARGET skyloom_analytics_plugin)
    install(TARGETS skyloom_analytics_plugin
        LIBRARY DESTINATION lib PERMISSIONS
            OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT plugin)
endif()
install(FILES
        ${PROJECT_SOURCE_DIR}/README.md
        ${PROJECT_SOURCE_DIR}/docs/installing.md
        ${PROJECT_SOURCE_DIR}/docs/message-format.md
        ${PROJECT_SOURCE_DIR}/docs/message.schema.json
        ${PROJECT_SOURCE_DIR}/docs/settings.md
        ${PROJECT_SOURCE_DIR}/docs/logging.md
        ${PROJECT_SOURCE_DIR}/docs/troubleshooting.md
    DESTINATION share/doc/skyloom-analytics-plugin
    COMPONENT plugin
    OPTIONAL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/samples/messages/
    DESTINATION share/skyloom/messages
    COMPONENT tools
    FILES_MATCHING PATTERN "*.json")

set(CPACK_PACKAGE_NAME "skyloom-analytics-plugin")
set(CPACK_PACKAGE_VENDOR "Skyloom")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Skyloom analytics plugin: AI-engine metadata for a video-management server")
set(CPACK_PACKAGE_DESCRIPTION
    "An analytics plugin library for a video-management server that receives the detections \
and alarms of an external AI video-analytics engine over ZeroMQ and turns them into the \
server's object and event metadata. With skyloom-host (runs the plugin outside a server) and \
skyloom-publish (plays the AI engine) for checking an installation.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/opt/skyloom")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Skyloom <support@skyloom.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
include(CPack)
