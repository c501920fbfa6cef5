// What the server reads from its receiver process, which a peer may have taken over: any bytes
// on the channel. The reader never reads past its buffer, hands out only frames whose fields lie
// within them, gives the same frames whatever pieces the bytes arrive in, stops for good at the
// first malformed frame, and every frame it accepts encodes back to the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "ingress/channel.h"

namespace {

using namespace nx::vms_server_plugins::analytics::sample;

struct Parsed
{
    std::vector<std::string> frames; //< Each frame encoded anew.
    ChannelReader::Status last = ChannelReader::Status::needMore;
    ChannelError error = ChannelError::none;
};

std::string reencode(const Frame& frame)
{
    switch (frame.type)
    {
        case FrameType::message: return encodeMessage(frame.first, frame.second, frame.body);
        case FrameType::event: return encodeEvent(frame.level, frame.first, frame.body);
        case FrameType::refused: return encodeRefused(frame.first, frame.body);
        case FrameType::connected:
        case FrameType::disconnected: return encodeText(frame.type, frame.first);
        case FrameType::log:
        case FrameType::config: return encodeText(frame.type, frame.body);
        case FrameType::stats: return encodeStats(frame.dropped, frame.queued);
        case FrameType::subscription: return encodeSubscription(frame.subscribe, frame.body);
        case FrameType::ping:
        case FrameType::pong: return encodeEmpty(frame.type);
    }
    return {};
}

/** Feeds `bytes` in pieces of `piece` bytes (0: at once) and takes every frame. */
Parsed parse(std::string_view bytes, size_t piece)
{
    ChannelReader reader(/*fromReceiver*/ true);
    Parsed parsed;
    size_t offset = 0;
    do
    {
        const size_t size = piece == 0 ? bytes.size() : std::min(piece, bytes.size() - offset);
        reader.append(bytes.substr(offset, size));
        offset += size;
        Frame frame;
        while ((parsed.last = reader.parseBuffered(&frame)) == ChannelReader::Status::frame)
            parsed.frames.push_back(reencode(frame));
        if (parsed.last == ChannelReader::Status::error)
        {
            parsed.error = reader.error();
            break;
        }
    } while (offset < bytes.size());
    return parsed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    skyloom::fuzz::discardLogOutput();
    if (size == 0)
        return 0;
    // The first byte picks the pieces the rest arrives in.
    const size_t piece = data[0] % 17;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    const Parsed whole = parse(bytes, 0);
    const Parsed pieces = parse(bytes, piece);
    FUZZ_CHECK(whole.frames == pieces.frames);
    FUZZ_CHECK(whole.error == pieces.error);

    // The accepted frames are the input's first bytes, exactly.
    std::string joined;
    for (const std::string& frame: whole.frames)
        joined += frame;
    FUZZ_CHECK(bytes.substr(0, joined.size()) == joined);
    return 0;
}
