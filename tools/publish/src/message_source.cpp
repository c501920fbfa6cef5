#include "message_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "base64.h"
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

/** The whole file, or the reason (errno text) it cannot be read. */
bool readFile(const fs::path& path, std::string* outText, std::string* outError)
{
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        *outError = "cannot read " + path.string() + ": "
            + (errno != 0 ? std::strerror(errno) : "cannot open it");
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad())
    {
        *outError = "cannot read " + path.string() + ": "
            + (errno != 0 ? std::strerror(errno) : "read error");
        return false;
    }
    *outText = text.str();
    return true;
}

bool isBlank(const std::string& line)
{
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

/**
 * A capture line as its message; null for any other line (a message of its own), or for a
 * capture line whose bytes cannot be read (*outError then says so).
 */
std::optional<Message> captureLine(
    const std::string& origin, const std::string& line, std::string* outError)
{
    // Engine messages begin with "src_uuid": only a capture line begins with the time key.
    if (line.rfind(std::string("{\"") + kCaptureTimeKey + "\"", 0) != 0)
        return std::nullopt;
    try
    {
        const nlohmann::json record = nlohmann::json::parse(line);
        const auto time = record.find(kCaptureTimeKey);
        const auto message = record.find(kCaptureMessageKey);
        if (time == record.end() || !time->is_number_integer() || message == record.end()
            || !message->is_string())
        {
            return std::nullopt;
        }
        // A message that is not UTF-8 travels as its bytes; its text has U+FFFD in their place.
        const auto bytes = record.find(kCaptureBytesKey);
        if (bytes == record.end())
            return Message{origin, message->get<std::string>(), time->get<int64_t>()};
        std::optional<std::string> original;
        if (bytes->is_string())
            original = skyloom::tools::fromBase64(bytes->get<std::string>());
        if (!original)
        {
            // Neither a message of its own nor one to replay: its text is not the message.
            *outError = origin + ": \"" + kCaptureBytesKey + "\" is not base64: the capture "
                "line is damaged";
            return std::nullopt;
        }
        return Message{origin, std::move(*original), time->get<int64_t>()};
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
}

/** True when the text is one JSON object written over several lines. */
bool isOneMultiLineObject(const std::string& text)
{
    const std::string body = trimmed(text);
    if (body.empty() || body[0] != '{' || body.find('\n') == std::string::npos)
        return false;
    try
    {
        return nlohmann::json::parse(body).is_object();
    }
    catch (const std::exception&)
    {
        return false;
    }
}

/** The messages of a JSON Lines text; `name` is the file's for the origins and reports. */
LoadedMessages messagesOfText(const std::string& name, const std::string& text)
{
    LoadedMessages result;
    if (isOneMultiLineObject(text))
    {
        result.messages.push_back({name, trimmed(text), std::nullopt});
        return result;
    }
    std::istringstream lines(text);
    std::string line;
    int lineNumber = 0;
    while (std::getline(lines, line))
    {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (isBlank(line))
            continue;
        const std::string origin = name + ":" + std::to_string(lineNumber);
        std::string damaged;
        if (std::optional<Message> captured = captureLine(origin, line, &damaged))
            result.messages.push_back(std::move(*captured));
        else if (!damaged.empty())
            return {{}, damaged};
        else
            result.messages.push_back({origin, line, std::nullopt});
    }
    if (result.messages.empty())
        result.error = name + " holds no messages";
    return result;
}

} // namespace

LoadedMessages loadMessageFile(const std::string& path)
{
    std::string text;
    std::string error;
    if (!readFile(path, &text, &error))
        return {{}, error};
    return messagesOfText(path, text);
}

LoadedMessages loadMessageStream(std::istream& in)
{
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return {{}, std::string("cannot read ") + kStandardInputName};
    return messagesOfText(kStandardInputName, text.str());
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
        if (!readFile(file, &text, &result.error))
            return result;
        result.messages.push_back({file.string(), trimmed(text), std::nullopt});
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
            trimmed(kSampleMessages[i].text), std::nullopt});
    }
    if (result.messages.empty())
        result.error = "this build has no built-in sample messages";
    return result;
}

std::string sourceToRead(const PublishOptions& options, bool inputIsTerminal)
{
    if (options.samples || !options.sourcePath.empty())
        return options.sourcePath;
    // Nobody means to type messages at a terminal: there, the samples. A pipe or a file on
    // standard input is what the user gave, and never passed over.
    return inputIsTerminal ? std::string() : std::string(kStandardInput);
}

LoadedMessages loadMessages(const std::string& path)
{
    if (path.empty())
        return loadBuiltInSamples();
    if (path == kStandardInput)
        return loadMessageStream(std::cin);
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found)
        return {{}, "no such file or directory: " + path};
    if (error)
        return {{}, "cannot read " + path + ": " + error.message()};
    if (fs::is_directory(status))
        return loadMessageDirectory(path);
    return loadMessageFile(path);
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
            // Never sent, even unchecked: it would cost the connection, and what follows on it.
            if (const std::string tooLarge = sizeProblem(outgoing); !tooLarge.empty())
            {
                result.rejected.push_back({message.origin, tooLarge});
                break;
            }
            const EnvelopeCheck check = checkEnvelope(outgoing);
            if (!check.warning.empty())
                result.warnings.push_back({message.origin, check.warning});
            if (!check.deliverable() && options.check)
            {
                result.rejected.push_back({message.origin, check.problem});
                break; //< the same fault for every camera: say it once
            }
            result.ready.push_back({message.origin, std::move(outgoing), check.sourceId,
                message.receivedUs, check.problem});
        }
    }
    return result;
}

} // namespace skyloom::publish
