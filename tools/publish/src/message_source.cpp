#include "message_source.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "envelope.h"
#include "sample_messages.h"

namespace skyloom::publish {

namespace fs = std::filesystem;

namespace {

std::string trimmed(const std::string& text)
{
    const char* const blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool readFile(const fs::path& path, std::string* outText)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream text;
    text << file.rdbuf();
    *outText = text.str();
    return !file.bad();
}

bool isBlank(const std::string& line)
{
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

} // namespace

LoadedMessages loadJsonLines(const std::string& path)
{
    LoadedMessages result;
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        result.error = "cannot read " + path;
        return result;
    }
    std::string line;
    int lineNumber = 0;
    while (std::getline(file, line))
    {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (isBlank(line))
            continue;
        result.messages.push_back({path + ":" + std::to_string(lineNumber), line});
    }
    if (result.messages.empty())
        result.error = path + " holds no messages";
    return result;
}

LoadedMessages loadMessageDirectory(const std::string& path)
{
    LoadedMessages result;
    std::error_code error;
    std::vector<fs::path> files;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
    {
        if (it->path().extension() == ".json" && it->is_regular_file(error))
            files.push_back(it->path());
    }
    if (error)
    {
        result.error = "cannot list " + path + ": " + error.message();
        return result;
    }
    std::sort(files.begin(), files.end(),
        [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    for (const fs::path& file: files)
    {
        std::string text;
        if (!readFile(file, &text))
        {
            result.error = "cannot read " + file.string();
            return result;
        }
        result.messages.push_back({file.string(), trimmed(text)});
    }
    if (result.messages.empty())
        result.error = path + " holds no *.json message files";
    return result;
}

LoadedMessages loadBuiltInSamples()
{
    LoadedMessages result;
    for (size_t i = 0; i < kSampleMessageCount; ++i)
    {
        result.messages.push_back({std::string("sample:") + kSampleMessages[i].name,
            trimmed(kSampleMessages[i].text)});
    }
    if (result.messages.empty())
        result.error = "this build has no built-in sample messages";
    return result;
}

LoadedMessages loadMessages(const std::string& path)
{
    if (path.empty())
        return loadBuiltInSamples();
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found)
        return {{}, "no such file or directory: " + path};
    if (error)
        return {{}, "cannot read " + path + ": " + error.message()};
    if (fs::is_directory(status))
        return loadMessageDirectory(path);
    return loadJsonLines(path);
}

PreparedMessages prepareMessages(
    const std::vector<Message>& messages, const PublishOptions& options)
{
    PreparedMessages result;
    // One pass per camera target; an empty id stands for "keep the message's own src_uuid".
    const std::vector<std::string> targets =
        options.cameras.empty() ? std::vector<std::string>{std::string()} : options.cameras;
    for (const Message& message: messages)
    {
        std::string text = message.text;
        if (options.compact)
            text = compactMessage(text).value_or(text);
        for (const std::string& camera: targets)
        {
            std::string outgoing = camera.empty()
                ? text
                : rewriteSourceId(text, camera).value_or(text);
            const EnvelopeCheck check = checkEnvelope(outgoing);
            if (!check.warning.empty())
                result.warnings.push_back({message.origin, check.warning});
            if (!check.deliverable() && options.check)
            {
                result.rejected.push_back({message.origin, check.problem});
                break; //< the same fault for every camera: say it once
            }
            result.ready.push_back({message.origin, std::move(outgoing), check.sourceId});
        }
    }
    return result;
}

} // namespace skyloom::publish
