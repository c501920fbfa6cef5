#include "differential.h"

#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

#include <skyloom/testhost/records.h>

#include "reference_engine_time.h"

namespace nx::vms_server_plugins::analytics::sample::reference {

namespace {

constexpr int kMaxDepth = 64;

/** Whether the container opened at `open` is empty. */
bool emptyAt(std::string_view text, size_t open)
{
    const size_t next = text.find_first_not_of(" \t\r\n", open + 1);
    return next != std::string_view::npos && (text[next] == ']' || text[next] == '}');
}

/**
 * The nesting of `text` as the plugin judged it before the parse (brackets outside strings),
 * but for an empty container one level deeper, which the parser takes.
 */
bool nestedTooDeep(std::string_view text)
{
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i)
    {
        switch (text[i])
        {
            case '"':
                for (++i; i < text.size() && text[i] != '"'; ++i)
                {
                    if (text[i] == '\\')
                        ++i;
                }
                break;
            case '{':
            case '[':
                if (++depth > kMaxDepth && !(depth == kMaxDepth + 1 && emptyAt(text, i)))
                    return true;
                break;
            case '}':
            case ']':
                if (depth > 0)
                    --depth;
                break;
            default:
                break;
        }
    }
    return false;
}

/** Finds integers beyond 64 bits: nlohmann::json reads them as doubles, simdjson refuses them. */
class WideIntegers: public nlohmann::json_sax<nlohmann::json>
{
public:
    bool found = false;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t& token) override
    {
        found = found || token.find_first_of(".eE") == std::string::npos;
        return true;
    }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }
};

bool hasWideInteger(std::string_view text)
{
    WideIntegers finder;
    (void) nlohmann::json::sax_parse(text.begin(), text.end(), &finder);
    return finder.found;
}

std::string trackText(const nx::sdk::Uuid& id, const TrackIdentity& identity)
{
    if (id == identity.counterTrackId())
        return "counter";
    int32_t value = 0;
    for (int i = 12; i < 16; ++i)
        value = static_cast<int32_t>((static_cast<uint32_t>(value) << 8) | id[i]);
    const bool ownBase = std::memcmp(id.data(), identity.makeTrackId(0).data(), 12) == 0;
    return (ownBase ? "" : "foreign:") + std::to_string(value);
}

std::string describeDrops(const MessageDrops& lost)
{
    std::ostringstream out;
    for (const Drop& drop: lost.drops)
    {
        out << "drop " << (drop.reason ? static_cast<int>(*drop.reason) : -1) << " x"
            << drop.count << " " << drop.operation << " / " << (drop.line ? drop.line : "-")
            << " / " << drop.element << " / " << drop.detail << "\n";
    }
    for (size_t reason = 0; reason < lost.untold.size(); ++reason)
    {
        if (lost.untold[reason] > 0)
            out << "untold " << reason << " x" << lost.untold[reason] << "\n";
    }
    out << "cuts " << lost.cuts.texts << " " << lost.cuts.elements << " " << lost.cuts.objects
        << " " << lost.cuts.attributeBound << "\n";
    return out.str();
}

} // namespace

std::string describePackets(
    const sample::MessageConverter::PacketList& packets, const TrackIdentity& identity)
{
    using skyloom::testhost::MetadataPacketRecord;
    std::ostringstream out;
    out << std::hexfloat;
    for (const auto& packet: packets)
    {
        const MetadataPacketRecord record = skyloom::testhost::copyMetadataPacket(packet.get());
        out << "packet " << static_cast<int>(record.kind) << " " << record.timestampUs << " "
            << record.durationUs << " " << record.reportedCount << "/" << record.items.size()
            << "\n";
        for (const auto& item: record.items)
        {
            out << "  item " << item.typeId << " " << trackText(item.trackId, identity) << " ["
                << item.boundingBox.x << " " << item.boundingBox.y << " "
                << item.boundingBox.width << " " << item.boundingBox.height << "] "
                << item.caption << " | " << item.description << " | " << item.isActive << "\n";
            for (const auto& attribute: item.attributes)
            {
                out << "    " << static_cast<int>(attribute.type) << " " << attribute.name
                    << " = " << attribute.value << "\n";
            }
        }
    }
    return out.str();
}

Differential::Differential(std::string cameraId):
    m_productConverter(cameraId),
    m_referenceConverter(cameraId)
{
}

Outcome Differential::product(std::string_view text, const ConversionSettings& settings)
{
    Outcome outcome;
    m_productConverter.noteMessage();
    const MessageParser::Result parsed = m_parser.parse(text);
    if (!parsed.parsed())
    {
        outcome.messageDrop.insert(parsed.reason);
        outcome.dropText = parsed.failure;
        m_parser.finish();
        return outcome;
    }
    const sample::EngineTime time = sample::engineTimeOf(parsed.message);
    outcome.timeStatus = time.status;
    outcome.timeUs = time.found() ? time.us : 0;
    outcome.timePlace = std::string(time.place);
    outcome.conversion =
        m_productConverter.convert(parsed.message, text.size(), settings, kTimestampUs);
    outcome.packets =
        describePackets(outcome.conversion.packets, m_productConverter.trackIdentity());
    m_parser.finish();
    return outcome;
}

Outcome Differential::reference(std::string_view text, const ConversionSettings& settings)
{
    Outcome outcome;
    m_referenceConverter.noteMessage();
    const size_t nul = text.find('\0');
    const bool deep = nestedTooDeep(text.substr(0, nul));
    nlohmann::json message;
    try
    {
        message = nlohmann::json::parse(text.begin(), text.end(), /*callback*/ nullptr,
            /*allow_exceptions*/ true, /*ignore_comments*/ false);
        if (hasWideInteger(text.substr(0, nul)))
            outcome.messageDrop.insert(DropReason::notJson);
    }
    catch (const nlohmann::json::parse_error& e)
    {
        outcome.messageDrop.insert(DropReason::notJson);
        outcome.dropText = e.what();
    }
    catch (const nlohmann::json::out_of_range& e)
    {
        outcome.messageDrop.insert(DropReason::notJson); //< "number overflow" (1e999).
        outcome.dropText = e.what();
    }
    if (deep)
    {
        outcome.messageDrop.insert(DropReason::tooDeep);
        outcome.dropText = "message is nested deeper than 64 levels; discarded";
    }
    if (!outcome.messageDrop.empty())
        return outcome;
    const reference::EngineTime time = reference::engineTimeOf(message);
    outcome.timeStatus = static_cast<sample::EngineTime::Status>(time.status);
    outcome.timeUs = time.found() ? time.us : 0;
    outcome.timePlace = std::string(time.place);
    outcome.conversion = m_referenceConverter.convert(message, text.size(), settings,
        kTimestampUs);
    outcome.packets =
        describePackets(outcome.conversion.packets, m_referenceConverter.trackIdentity());
    return outcome;
}

std::string Differential::differences(std::string_view text, const ConversionSettings& settings)
{
    m_lastProduct = product(text, settings);
    const Outcome& ours = m_lastProduct;
    const Outcome theirs = reference(text, settings);
    std::ostringstream out;
    if (!ours.messageDrop.empty() || !theirs.messageDrop.empty())
    {
        const bool agreed = ours.messageDrop.size() == 1 && !theirs.messageDrop.empty()
            && theirs.messageDrop.count(*ours.messageDrop.begin()) > 0;
        if (!agreed)
        {
            out << "message drop: plugin " << (ours.messageDrop.empty() ? "none" : "")
                << (ours.messageDrop.empty() ? "" : std::to_string(
                    static_cast<int>(*ours.messageDrop.begin())))
                << " (" << ours.dropText << "), reference " << theirs.messageDrop.size()
                << " reason(s) (" << theirs.dropText << ")\n";
        }
        return out.str();
    }
    if (ours.timeStatus != theirs.timeStatus || ours.timeUs != theirs.timeUs
        || ours.timePlace != theirs.timePlace)
    {
        out << "engine time: plugin " << static_cast<int>(ours.timeStatus) << " " << ours.timeUs
            << " " << ours.timePlace << ", reference " << static_cast<int>(theirs.timeStatus)
            << " " << theirs.timeUs << " " << theirs.timePlace << "\n";
    }
    const auto& a = ours.conversion;
    const auto& b = theirs.conversion;
    if (a.forThisCamera != b.forThisCamera || a.eventPackets != b.eventPackets)
    {
        out << "for this camera " << a.forThisCamera << "/" << b.forThisCamera
            << ", event packets " << a.eventPackets << "/" << b.eventPackets << "\n";
    }
    if (ours.packets != theirs.packets)
        out << "packets:\n--- plugin\n" << ours.packets << "--- reference\n" << theirs.packets;
    const std::string ourDrops = describeDrops(a.lost);
    const std::string theirDrops = describeDrops(b.lost);
    if (ourDrops != theirDrops)
        out << "drops:\n--- plugin\n" << ourDrops << "--- reference\n" << theirDrops;
    return out.str();
}

} // namespace nx::vms_server_plugins::analytics::sample::reference
