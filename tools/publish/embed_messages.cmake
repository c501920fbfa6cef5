# Writes a C++ source that holds the given message files as raw string literals, so that
# skyloom-publish carries its sample set with it. Run in script mode:
#   cmake -DOUTPUT=file.cpp -DINPUTS=a.json;b.json -P embed_messages.cmake
set(delimiter "skyloom_message")
set(entries "")
foreach(input IN LISTS INPUTS)
    file(READ "${input}" text)
    string(FIND "${text}" ")${delimiter}\"" clash)
    if(NOT clash EQUAL -1)
        message(FATAL_ERROR "${input} holds the raw string delimiter )${delimiter}\"")
    endif()
    get_filename_component(name "${input}" NAME_WE)
    string(APPEND entries "    {\"${name}\", R\"${delimiter}(${text})${delimiter}\"},\n")
endforeach()
list(LENGTH INPUTS count)
set(content "// Generated from samples/messages/*.json when skyloom-publish is built; do not edit.
#include \"sample_messages.h\"

namespace skyloom::publish {

// The last entry only keeps the array from being empty; it is not counted.
const SampleMessage kSampleMessages[] = {
${entries}    {nullptr, nullptr},
};

const size_t kSampleMessageCount = ${count};

} // namespace skyloom::publish
")
# Rewriting an unchanged file would rebuild everything that depends on it.
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" previous)
endif()
if(NOT previous STREQUAL content)
    file(WRITE "${OUTPUT}" "${content}")
endif()
