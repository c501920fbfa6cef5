// Where the messages come from: a JSON Lines file, standard input, a directory of message files
// or the samples built into the program; and the list of sends prepared from them (camera
// rewrite, size and envelope checks). Pure functions apart from reading the files and standard
// input; any thread.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "options.h"

namespace skyloom::publish {

struct Message
{
    /** Where it came from, for reports: "file.jsonl:3", "dir/name.json", "sample:name". */
    std::string origin;
    std::string text;
    /** From a capture: when skyloom-capture received it (wall clock, microseconds). */
    std::optional<int64_t> receivedUs = std::nullopt;
};

/**
 * Members of one line of a capture file: {"receivedUs": 1700000000123456, "message": "..."},
 * and "messageBase64" with the exact bytes of a message that is not UTF-8 (whose "message"
 * then has U+FFFD in place of the bad bytes). Older captures have no such member.
 */
constexpr const char* kCaptureTimeKey = "receivedUs";
constexpr const char* kCaptureMessageKey = "message";
constexpr const char* kCaptureBytesKey = "messageBase64";

struct LoadedMessages
{
    std::vector<Message> messages;

    /** One line when the source cannot be read (missing file, empty directory...). */
    std::string error;
};

/**
 * Every non-blank line is one message (a trailing carriage return is dropped), or the line of a
 * capture that holds one; a file that holds one JSON object over several lines is one message.
 */
LoadedMessages loadMessageFile(const std::string& path);

/** The source that names standard input, and the name its messages' origins carry. */
constexpr const char* kStandardInput = "-";
constexpr const char* kStandardInputName = "stdin";

/** The stream read to its end, as loadMessageFile() reads a file. */
LoadedMessages loadMessageStream(std::istream& in);

/** Every *.json file is one message, in name order; white space around it is dropped. */
LoadedMessages loadMessageDirectory(const std::string& path);

LoadedMessages loadBuiltInSamples();

/**
 * What to read: the source named (a path, kStandardInput, or empty for --samples); with none
 * named, the built-in samples when standard input is a terminal, else standard input.
 */
std::string sourceToRead(const PublishOptions& options, bool inputIsTerminal);

/** The path as a file or a directory, kStandardInput, or the built-in samples when empty. */
LoadedMessages loadMessages(const std::string& path);

struct Outgoing
{
    std::string origin;
    std::string text;
    std::string sourceId;
    std::optional<int64_t> receivedUs = std::nullopt;
    /** Why no camera would receive it (sent all the same with --no-check); empty: none. */
    std::string envelopeProblem = {};

    /** Whom it goes to, for the line per send: its camera's id, or why it reaches none. */
    [[nodiscard]] std::string destination() const
    {
        return envelopeProblem.empty() ? sourceId : "no camera (" + envelopeProblem + ")";
    }
};

struct Rejection
{
    std::string origin;
    std::string problem;
};

struct PreparedMessages
{
    /** In send order: each message once per camera, cameras in the order given. */
    std::vector<Outgoing> ready;
    std::vector<Rejection> rejected;
    std::vector<Rejection> warnings;
};

/**
 * Applies --compact and --camera and checks each result (unless the check is off; a message too
 * large for the service port is rejected even then). With the recorded pace every message must
 * come from a capture.
 */
PreparedMessages prepareMessages(
    const std::vector<Message>& messages, const PublishOptions& options);

} // namespace skyloom::publish
