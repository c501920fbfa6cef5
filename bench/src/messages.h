// AI-engine message texts for the benchmarks: the sample messages of samples/messages, camera
// ids, and templates that stamp values (a camera id, a track id, a publish time) into a sample
// cheaply enough to build one message per send. Plain functions and values; any thread.
#pragma once

#include <string>
#include <vector>

namespace skyloom::bench {

/** The folder of the sample messages: $SKYLOOM_MESSAGES_DIR, else the source tree's folder. */
std::string messagesDir();

/** The text of a sample message file, without a trailing line feed. Throws if unreadable. */
std::string readSampleMessage(const std::string& fileName);

/** Camera id number `index` as the AI engine writes it (no braces, 36 characters). */
std::string cameraId(int index);

/** The same id as the server reports it, in braces. */
std::string deviceId(int index);

/** The bytes a device agent subscribes to: the text's start up to the id's closing quote. */
std::string subscriptionPrefix(const std::string& cameraId);

/**
 * A message text with the values of some members cut out, to be filled per message. Each
 * member is the first occurrence of `"name":` in the text; its value must be a number or a
 * string. make() takes raw JSON values (strings with their quotes) in the order of the names.
 * Throws std::invalid_argument if a member is missing or its value cannot be delimited.
 */
class MessageTemplate
{
public:
    MessageTemplate(const std::string& text, const std::vector<std::string>& memberNames);

    std::string make(const std::vector<std::string>& values) const;

    /** One value, without allocating a vector: the common case of the load generators. */
    void makeInto(std::string* out, const std::string& value) const;

    size_t slotCount() const { return m_slots.size(); }

private:
    struct Slot
    {
        size_t position = 0; //< Where the value starts in the text.
        size_t length = 0; //< Length of the value that was cut out.
    };

    std::string m_text;
    std::vector<Slot> m_slots; //< In the order of the names given.
};

/** A JSON string value (quoted, with quotes and backslashes escaped) for MessageTemplate. */
std::string jsonString(const std::string& text);

} // namespace skyloom::bench
