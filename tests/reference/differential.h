// Each message through the plugin's handling (MessageParser, engineTimeOf, MessageConverter) and
// through the reference handling on nlohmann::json (reference_converter.h), as the device agent
// runs them once a frame has been seen, and the differences between the two: a dropped message's
// reason, the engine time, and every packet, drop and cut of a conversion. The reference holds
// the verdicts as they were, with the documented changes of the simdjson parse applied:
//   - a number beyond what a double holds (1e999) or an integer beyond 64 bits makes the
//     message not JSON (nlohmann::json threw "number overflow", or read the integer as an
//     approximate double);
//   - nesting is judged by the parser: in a text with another fault too, the fault found first
//     decides (not JSON, or too deep);
//   - the text ends at its first NUL byte for the depth too;
//   - an empty object or array one level beyond the limit is taken (it holds nothing deeper).
// A not-JSON sentence differs by design (the parsers word their faults differently): only the
// reason is compared.
//
// Threads: one thread at a time per Differential.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "conversion/engine_time.h"
#include "conversion/message_converter.h"
#include "conversion/message_parser.h"
#include "reference_converter.h"

namespace nx::vms_server_plugins::analytics::sample::reference {

/** What a handling made of one message. */
struct Outcome
{
    /** The reasons that may drop the whole message; empty: it was converted. */
    std::set<DropReason> messageDrop;
    std::string dropText;
    EngineTime::Status timeStatus = EngineTime::Status::absent;
    int64_t timeUs = 0;
    std::string timePlace;
    sample::MessageConverter::Conversion conversion;
    /** Track ids of the conversion's objects read back (the bases of the two sides differ). */
    std::string packets;
};

class Differential
{
public:
    explicit Differential(std::string cameraId);

    Outcome product(std::string_view text, const ConversionSettings& settings);
    Outcome reference(std::string_view text, const ConversionSettings& settings);

    /** Both handlings of `text`, one line per difference; empty when they agree. */
    std::string differences(std::string_view text, const ConversionSettings& settings);

    /** The plugin's outcome of the latest differences(). */
    const Outcome& lastProduct() const { return m_lastProduct; }

    static constexpr int64_t kTimestampUs = 1598863206064000;

private:
    MessageParser m_parser;
    sample::MessageConverter m_productConverter;
    MessageConverter m_referenceConverter;
    Outcome m_lastProduct;
};

/** The packets as text: kinds, times, items, attributes; track ids relative to `identity`. */
std::string describePackets(
    const sample::MessageConverter::PacketList& packets, const TrackIdentity& identity);

} // namespace nx::vms_server_plugins::analytics::sample::reference
