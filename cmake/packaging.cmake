# Installation and the Debian package. `cmake --install` puts the plugin library into
# SKYLOOM_PLUGIN_INSTALL_DIR (top-level CMakeLists.txt), the tools into bin/ (their own
# folders install them), data into share/skyloom/ and the documentation, licence, copyright,
# changelog and manual pages where Debian expects them. `cpack -G DEB` (./dev.sh package, which
# also builds with the distribution's hardening flags) makes a package that installs the same
# tree under /usr, makes the receiver's system user, and depends on adduser and on what the
# binaries link at run time (libzmq5 and the C/C++ run-time libraries), as dpkg-shlibdeps finds
# it.

# Installing (and packaging) takes what is built; it does not first build every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(TARGET skyloom_analytics_plugin)
    install(TARGETS skyloom_analytics_plugin
        LIBRARY DESTINATION ${SKYLOOM_PLUGIN_INSTALL_DIR} PERMISSIONS
            OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT plugin)
    # Beside the library, where the engine looks for it.
    install(TARGETS skyloom-receiver
        RUNTIME DESTINATION ${SKYLOOM_PLUGIN_INSTALL_DIR} COMPONENT plugin)
endif()
# The installed README is the user's (the repository's tells a developer how to build); it links
# to docs/...: the same layout keeps the links working once installed.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.md DESTINATION ${SKYLOOM_DOC_DIR}
    COMPONENT plugin)
install(FILES
        ${PROJECT_SOURCE_DIR}/docs/installing.md
        ${PROJECT_SOURCE_DIR}/docs/message-format.md
        ${PROJECT_SOURCE_DIR}/docs/message.schema.json
        ${PROJECT_SOURCE_DIR}/docs/message.draft-07.schema.json
        ${PROJECT_SOURCE_DIR}/docs/settings.md
        ${PROJECT_SOURCE_DIR}/docs/deployment.md
        ${PROJECT_SOURCE_DIR}/docs/logging.md
        ${PROJECT_SOURCE_DIR}/docs/security.md
        ${PROJECT_SOURCE_DIR}/docs/troubleshooting.md
        ${PROJECT_SOURCE_DIR}/docs/performance.md
    DESTINATION ${SKYLOOM_DOC_DIR}/docs
    COMPONENT plugin)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${SKYLOOM_DOC_DIR}
    COMPONENT plugin)
# The tools' bash completions, where bash-completion looks for a command's completion by its
# name.
foreach(tool skyloom-host skyloom-publish skyloom-capture)
    if(TARGET ${tool})
        install(FILES ${PROJECT_SOURCE_DIR}/tools/completions/${tool}
            DESTINATION share/bash-completion/completions COMPONENT tools)
    endif()
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/samples/messages/
    DESTINATION share/skyloom/messages
    COMPONENT tools
    FILES_MATCHING PATTERN "*.json")

# The changelog and the manual pages (made by help2man from each tool's --help and --version,
# cmake/man_page.cmake; tests/packaging checks them) are compressed as Debian wants them: gzip
# -9n, no name or time stamp inside. They are made with every build (the target
# skyloom_package_files) when gzip and help2man are there, so that cmake --install puts them
# where the tools' --help points; without them, an install leaves them out.
find_program(SKYLOOM_GZIP gzip)
find_program(SKYLOOM_HELP2MAN help2man)
set(SKYLOOM_PACKAGE_FILES_DIR ${CMAKE_BINARY_DIR}/package-files)
set(skyloom_package_files)
if(SKYLOOM_GZIP)
    set(changelog ${SKYLOOM_PACKAGE_FILES_DIR}/changelog.gz)
    add_custom_command(OUTPUT ${changelog}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${SKYLOOM_PACKAGE_FILES_DIR}
        COMMAND ${SKYLOOM_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
        VERBATIM)
    list(APPEND skyloom_package_files ${changelog})
    install(FILES ${changelog} DESTINATION ${SKYLOOM_DOC_DIR} COMPONENT plugin OPTIONAL)
endif()
set(skyloom_tool_summaries
    "skyloom-host|runs the Skyloom analytics plugin as a video-management server would"
    "skyloom-publish|plays the AI engine for the Skyloom analytics plugin and checks messages"
    "skyloom-capture|records the AI engine's messages for replay")
# One entry of skyloom_tool_summaries: the tool's target and its manual page's summary.
function(skyloom_tool_summary entry toolVar summaryVar)
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 tool)
    list(GET parts 1 summary)
    set(${toolVar} ${tool} PARENT_SCOPE)
    set(${summaryVar} ${summary} PARENT_SCOPE)
endfunction()
if(SKYLOOM_GZIP AND SKYLOOM_HELP2MAN)
    foreach(entry IN LISTS skyloom_tool_summaries)
        skyloom_tool_summary("${entry}" tool summary)
        if(NOT TARGET ${tool})
            continue()
        endif()
        set(page ${SKYLOOM_PACKAGE_FILES_DIR}/${tool}.1)
        add_custom_command(OUTPUT ${page}.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${SKYLOOM_PACKAGE_FILES_DIR}
            COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${SKYLOOM_HELP2MAN}
                -DTOOL=$<TARGET_FILE:${tool}> -DNAME=${summary} -DOUTPUT=${page}
                -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
            COMMAND ${SKYLOOM_GZIP} -9nf ${page}
            DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
            VERBATIM)
        list(APPEND skyloom_package_files ${page}.gz)
        install(FILES ${page}.gz DESTINATION share/man/man1 COMPONENT tools OPTIONAL)
    endforeach()
endif()
add_custom_target(skyloom_package_files ALL DEPENDS ${skyloom_package_files})

set(CPACK_PACKAGE_NAME "skyloom-analytics-plugin")
set(CPACK_PACKAGE_VENDOR "Skyloom")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "AI-engine metadata for a video-management server (analytics plugin)")
# Lines of at most 80 characters: the package's extended description is shown as written.
# The synopsis (CPACK_PACKAGE_DESCRIPTION_SUMMARY) comes first by itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "An analytics plugin library for a video-management server that receives the
detections and alarms of an external AI video-analytics engine over ZeroMQ and
turns them into the server's object and event metadata.
.
With tools for checking an installation: skyloom-host runs the plugin outside a
server, skyloom-publish plays the AI engine and checks messages offline with
the plugin's own conversion, skyloom-capture records what the engine sends for
replay at its recorded pace.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Skyloom <support@skyloom.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The receiver's system user, made by the postinst (packaging/postinst) with adduser; the
# run-time libraries are added to this by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
include(CPack)
