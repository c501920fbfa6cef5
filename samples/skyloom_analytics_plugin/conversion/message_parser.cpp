#include "message_parser.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

/** The sentence of a parse failure. simdjson tells what, not where. */
std::string failureText(simdjson::error_code error)
{
    if (error == simdjson::DEPTH_ERROR)
    {
        return "message is nested deeper than " + std::to_string(MessageParser::kMaxDepth)
            + " levels; discarded";
    }
    if (error == simdjson::NUMBER_ERROR)
    {
        return "not JSON: a number is malformed or beyond what a 64-bit integer or a double "
            "holds";
    }
    return std::string("not JSON: ") + simdjson::error_message(error);
}

} // namespace

std::string_view messageText(std::string_view text)
{
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        text.remove_prefix(kByteOrderMark.size());
    const void* nul = text.empty() ? nullptr : std::memchr(text.data(), '\0', text.size());
    if (nul)
        text = text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
    return text;
}

void MessageParser::finish() noexcept
{
    if (!m_large)
        return;
    m_large = false;
    m_parser = simdjson::dom::parser();
    m_buffer.reset();
    m_bufferBytes = 0;
}

MessageParser::Result MessageParser::parse(std::string_view text)
{
    finish();
    const std::string_view parsed = messageText(text);
    if (!m_buffer || parsed.size() > m_bufferBytes)
    {
        m_buffer.reset(); //< The old one goes first: never both at once.
        m_buffer.reset(new char[parsed.size() + simdjson::SIMDJSON_PADDING]);
        m_bufferBytes = parsed.size();
    }
    std::memcpy(m_buffer.get(), parsed.data(), parsed.size());
    std::memset(m_buffer.get() + parsed.size(), 0, simdjson::SIMDJSON_PADDING);
    return parsePadded(std::string_view(m_buffer.get(), parsed.size()), text.size());
}

MessageParser::Result MessageParser::parseInPlace(std::string_view text)
{
    finish();
    return parsePadded(messageText(text), text.size());
}

MessageParser::Result MessageParser::parsePadded(std::string_view text, size_t textBytes)
{
    m_large = textBytes > kLargeMessageBytes;
    // The depth is set with the capacity; a new parser has neither yet (and would grow with the
    // library's default depth). simdjson counts the level of a container's values: kMaxDepth
    // levels of containers need one more (an empty container at the level after is taken).
    constexpr size_t kParserDepth = kMaxDepth + 1;
    simdjson::error_code error = simdjson::SUCCESS;
    if (m_parser.capacity() < text.size() || m_parser.max_depth() != kParserDepth)
        error = m_parser.allocate(std::max(text.size(), m_parser.capacity()), kParserDepth);
    Result result;
    if (!error)
    {
        error = m_parser.parse(text.data(), text.size(), /*realloc_if_needed*/ false)
            .get(result.message);
    }
    if (error == simdjson::MEMALLOC)
        throw std::bad_alloc();
    if (error)
    {
        result.reason = error == simdjson::DEPTH_ERROR ? DropReason::tooDeep : DropReason::notJson;
        result.failure = failureText(error);
    }
    return result;
}

} // namespace nx::vms_server_plugins::analytics::sample
