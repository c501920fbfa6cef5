// One agent's parser of the AI engine's messages (simdjson's DOM parser), kept and reused: in
// steady state a message is parsed without allocating. The text is read as the plugin has always
// read it: one leading UTF-8 byte-order mark is skipped, and a NUL byte ends the text (a C
// string's terminator sent along); objects and arrays nest at most kMaxDepth levels (an empty
// one one level deeper is taken: it holds nothing deeper).
// Memory stays bounded: the parser keeps capacity for the largest message it has parsed (about
// 14 bytes per byte of text), so after a message larger than kLargeMessageBytes it lets its
// buffers go, and the next message starts it again at the size it needs.
// The text is copied into a buffer of the parser's own with simdjson's padding after it, unless
// the caller says that its bytes already have the padding (parseInPlace).
//
// Threads: one thread at a time (the camera's receive thread); a parsed message is valid until
// the next parse.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "health/ingest_counters.h"
#include "json_values.h"

namespace nx::vms_server_plugins::analytics::sample {

class MessageParser
{
public:
    /** Deepest nesting of objects and arrays taken; deeper messages are dropped (tooDeep). */
    static constexpr size_t kMaxDepth = 64;
    /** Messages larger than this make the parser let its buffers go once parsed. */
    static constexpr size_t kLargeMessageBytes = 256 * 1024;

    /** The parsed message, or why there is none. */
    struct Result
    {
        JsonValue message; //< Valid when `failure` is empty.
        /** DropReason::notJson or DropReason::tooDeep, with the sentence that tells it. */
        DropReason reason = DropReason::notJson;
        std::string failure;

        [[nodiscard]] bool parsed() const { return failure.empty(); }
    };

    /** Parses a copy of `text`. Throws only std::bad_alloc. */
    [[nodiscard]] Result parse(std::string_view text);

    /**
     * Parses `text` where it is: at least simdjson::SIMDJSON_PADDING readable bytes must
     * follow it. The bytes must stay until the next parse.
     */
    [[nodiscard]] Result parseInPlace(std::string_view text);

    /**
     * The parsed message is read no more: after a large one the buffers go now. A parse does it
     * too, before parsing.
     */
    void finish() noexcept;

    /** Bytes of text the parser holds buffers for now (0 after a large message). */
    [[nodiscard]] size_t capacity() const { return m_parser.capacity(); }

private:
    Result parsePadded(std::string_view text, size_t textBytes);

    simdjson::dom::parser m_parser;
    std::unique_ptr<char[]> m_buffer; //< The text with its padding.
    size_t m_bufferBytes = 0; //< Without the padding.
    bool m_large = false; //< The message parsed last was large.
};

/** The text as parsed: without a leading byte-order mark, up to its first NUL byte. */
[[nodiscard]] std::string_view messageText(std::string_view text);

} // namespace nx::vms_server_plugins::analytics::sample
