# A tool's manual page, made as the package makes it (cmake/man_page.cmake), has the sections
# EXIT STATUS, EXAMPLES and SEE ALSO, every option of --help as an item of its own (.TP; or .HP
# when its description begins on the next line) that holds the option and its arguments only, not
# its description run into them, and names the documentation by its installed path, never by the
# source tree's relative docs/.
#
#   cmake -DHELP2MAN=<help2man or empty> -DTOOL=<the built tool> -DNAME=<summary>
#       -DOUTPUT=<page.1> -DGENERATOR=<cmake/man_page.cmake> -P man_page_check.cmake
#
# Without help2man (the package's build needs it, the plain build does not) it prints "skipped".
cmake_minimum_required(VERSION 3.16)

if(NOT HELP2MAN OR NOT EXISTS "${HELP2MAN}")
    message(STATUS "skipped: no help2man, no manual pages to check")
    return()
endif()
include(${GENERATOR})

file(STRINGS ${OUTPUT} lines)
set(failures)
foreach(section [[.SH "EXIT STATUS"]] [[.SH EXAMPLES]] [[.SH "SEE ALSO"]])
    if(NOT section IN_LIST lines)
        string(APPEND failures "\n  no section line ${section}")
    endif()
endforeach()

# The first line of each item, without the font changes: "\-q, \-\-quiet".
set(items)
set(afterTp FALSE)
foreach(line IN LISTS lines)
    if(afterTp)
        string(REPLACE [[\fB]] "" item "${line}")
        string(REPLACE [[\fR]] "" item "${item}")
        list(APPEND items "${item}")
        if(item MATCHES "  ")
            string(APPEND failures "\n  an item runs into its description: ${line}")
        endif()
    endif()
    if(line STREQUAL ".TP" OR line STREQUAL ".HP")
        set(afterTp TRUE)
    else()
        set(afterTp FALSE)
    endif()
    if(line MATCHES "(^|[^/])docs/")
        string(APPEND failures "\n  a relative docs/ path: ${line}")
    endif()
endforeach()

execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TOOL} --help failed: ${result}")
endif()
string(REPLACE ";" "," help "${help}")
string(REPLACE "\n" ";" helpLines "${help}")
set(options 0)
foreach(line IN LISTS helpLines)
    if(NOT line MATCHES "^ ? ? ? ?(-[-A-Za-z0-9]*)")
        continue()
    endif()
    math(EXPR options "${options} + 1")
    string(REPLACE "-" [[\-]] escaped "${CMAKE_MATCH_1}")
    set(found FALSE)
    foreach(item IN LISTS items)
        # The option, then the item's end, its argument or the option's other name.
        string(FIND "${item} " "${escaped} " atSpace)
        string(FIND "${item}" "${escaped}," atComma)
        if(atSpace EQUAL 0 OR atComma EQUAL 0)
            set(found TRUE)
            break()
        endif()
    endforeach()
    if(NOT found)
        string(APPEND failures "\n  option ${CMAKE_MATCH_1} is not an item of its own")
    endif()
endforeach()
if(options EQUAL 0)
    string(APPEND failures "\n  --help lists no options")
endif()

if(failures)
    message(FATAL_ERROR "${OUTPUT}:${failures}")
endif()
message(STATUS "${OUTPUT}: sections, ${options} options and paths as they should be")
