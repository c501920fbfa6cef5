#include "messages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>
#include <stdexcept>

namespace skyloom::bench {

namespace {

/** Length of the JSON number or string that starts at `position`; 0 if there is none. */
size_t scalarLength(const std::string& text, size_t position)
{
    if (position >= text.size())
        return 0;
    if (text[position] == '"')
    {
        for (size_t i = position + 1; i < text.size(); ++i)
        {
            if (text[i] == '\\')
                ++i;
            else if (text[i] == '"')
                return i + 1 - position;
        }
        return 0;
    }
    size_t end = position;
    while (end < text.size() && std::string_view("+-.0123456789eE").find(text[end])
        != std::string_view::npos)
    {
        ++end;
    }
    return end - position;
}

} // namespace

std::string messagesDir()
{
    if (const char* dir = std::getenv("SKYLOOM_MESSAGES_DIR"); dir && *dir)
        return dir;
    return SKYLOOM_MESSAGES_DIR;
}

std::string readSampleMessage(const std::string& fileName)
{
    const std::string path = messagesDir() + "/" + fileName;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read the sample message " + path);
    std::ostringstream text;
    text << file.rdbuf();
    std::string result = text.str();
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

std::string cameraId(int index)
{
    char text[40];
    std::snprintf(text, sizeof(text), "5b1e0000-0000-4000-8000-%012d", index);
    return text;
}

std::string deviceId(int index)
{
    return "{" + cameraId(index) + "}";
}

std::string subscriptionPrefix(const std::string& cameraId)
{
    return "{\"src_uuid\":\"" + cameraId + "\"";
}

MessageTemplate::MessageTemplate(
    const std::string& text, const std::vector<std::string>& memberNames):
    m_text(text)
{
    for (const std::string& name: memberNames)
    {
        const std::string key = "\"" + name + "\":";
        const size_t keyPosition = m_text.find(key);
        if (keyPosition == std::string::npos)
            throw std::invalid_argument("the message has no member \"" + name + "\"");
        Slot slot;
        slot.position = keyPosition + key.size();
        slot.length = scalarLength(m_text, slot.position);
        if (slot.length == 0)
            throw std::invalid_argument("the value of \"" + name + "\" is not a number or string");
        m_slots.push_back(slot);
    }
}

std::string MessageTemplate::make(const std::vector<std::string>& values) const
{
    if (values.size() != m_slots.size())
        throw std::invalid_argument("MessageTemplate::make: wrong number of values");

    std::vector<size_t> order(m_slots.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
        [this](size_t a, size_t b) { return m_slots[a].position < m_slots[b].position; });

    std::string result;
    result.reserve(m_text.size() + 64);
    size_t copied = 0;
    for (const size_t i: order)
    {
        result.append(m_text, copied, m_slots[i].position - copied);
        result += values[i];
        copied = m_slots[i].position + m_slots[i].length;
    }
    result.append(m_text, copied, std::string::npos);
    return result;
}

void MessageTemplate::makeInto(std::string* out, const std::string& value) const
{
    if (m_slots.size() != 1)
        throw std::invalid_argument("MessageTemplate::makeInto needs exactly one member");
    const Slot& slot = m_slots[0];
    out->assign(m_text, 0, slot.position);
    out->append(value);
    out->append(m_text, slot.position + slot.length, std::string::npos);
}

std::string jsonString(const std::string& text)
{
    std::string result = "\"";
    for (const char c: text)
    {
        if (c == '"' || c == '\\')
            result += '\\';
        result += c;
    }
    return result + "\"";
}

} // namespace skyloom::bench
