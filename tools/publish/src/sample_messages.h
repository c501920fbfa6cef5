// The sample messages built into skyloom-publish: the files of samples/messages, embedded
// when the program is built. Constant data; any thread.
#pragma once

#include <cstddef>

namespace skyloom::publish {

struct SampleMessage
{
    const char* name; //< the file name without ".json"
    const char* text; //< the file's text
};

extern const SampleMessage kSampleMessages[];
extern const size_t kSampleMessageCount;

} // namespace skyloom::publish
