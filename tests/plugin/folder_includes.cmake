# Every `#include "FOLDER/..."` in a folder of the plugin names that folder itself or a folder that
# its target links, directly or through another. Fails naming each file and include that does not.
#
#   cmake -DPLUGIN_DIR=<the plugin's source folder> -DLINKS=<folder:linked,linked|folder:...>
#       -P folder_includes.cmake
#
# LINKS is the table that the plugin's CMakeLists.txt writes from its link lines
# (SKYLOOM_FOLDER_LINKS). An include that climbs out of its folder ("../") is refused as well.
cmake_minimum_required(VERSION 3.16)

string(REPLACE "|" ";" rows "${LINKS}")
set(folders)
foreach(row IN LISTS rows)
    string(REGEX MATCH "^([^:]+):(.*)$" matched "${row}")
    if(NOT matched)
        message(FATAL_ERROR "not a row of the link table: \"${row}\"")
    endif()
    list(APPEND folders ${CMAKE_MATCH_1})
    string(REPLACE "," ";" "linked_${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}")
endforeach()
if(NOT folders)
    message(FATAL_ERROR "no link table given (-DLINKS=...)")
endif()

set(failures)
foreach(folder IN LISTS folders)
    set(reached ${folder})
    set(pending ${linked_${folder}})
    while(pending)
        list(POP_FRONT pending next)
        if(NOT next IN_LIST reached)
            list(APPEND reached ${next})
            list(APPEND pending ${linked_${next}})
        endif()
    endwhile()

    file(GLOB_RECURSE sources ${PLUGIN_DIR}/${folder}/*.h ${PLUGIN_DIR}/${folder}/*.cpp)
    if(NOT sources)
        message(FATAL_ERROR "no sources in ${PLUGIN_DIR}/${folder}")
    endif()
    foreach(source IN LISTS sources)
        file(RELATIVE_PATH shown ${PLUGIN_DIR} ${source})
        file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" path "${line}")
            string(REGEX MATCH "^[^/]*" first "${path}")
            if(path MATCHES "(^|/)\\.\\./")
                string(APPEND failures
                    "\n  ${shown}: #include \"${path}\" (climbs out of ${folder}/)")
            elseif(first IN_LIST folders AND NOT first IN_LIST reached)
                list(JOIN reached ", " allowed)
                string(APPEND failures
                    "\n  ${shown}: #include \"${path}\" (${folder}/ may include ${allowed})")
            endif()
        endforeach()
    endforeach()
endforeach()

if(failures)
    message(FATAL_ERROR "includes of folders that are not linked:${failures}\n"
        "Link the folder's library to the one it includes, or move the code.")
endif()
list(LENGTH folders count)
message(STATUS "the includes of ${count} folders follow their links")
