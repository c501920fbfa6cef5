// The device agent's frame: construction and the subscription prefix, the receive thread, the
// message dispatch, the idle rule, the video hooks, settings, the manifest and the event path.
// The object paths live in device_agent_objects.cpp.
#include "device_agent.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>
#include <nx/sdk/analytics/helpers/event_metadata.h>
#include <nx/sdk/analytics/helpers/event_metadata_packet.h>
#include <nx/sdk/analytics/helpers/object_metadata.h>
#include <nx/sdk/analytics/helpers/object_metadata_packet.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/helpers/settings_response.h>
#include <nx/sdk/helpers/uuid_helper.h>

#include "json_values.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->logUtils.enableOutput)

namespace nx::vms_server_plugins::analytics::sample {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

namespace {

constexpr int kIdlePollsBeforeRenewal = 30;
constexpr std::chrono::milliseconds kRetryDelay{1000};
constexpr std::chrono::milliseconds kPollErrorPause{50};

/** Messages queued for this agent (by the relay's publisher and here) beyond which ZeroMQ drops. */
constexpr int kReceiveHighWaterMark = 100;

/** Deeper messages are refused before the JSON library builds (or later dumps) them. */
constexpr int kMaxMessageDepth = 64;

constexpr int64_t kEventDurationUs = 300000;
constexpr int64_t kCounterDurationUs = 600000000;
constexpr const char* kCounterObjectTypeId = "skyloom.plugin.obj_counter";

/** Consecutive idle polls of all receive threads together. */
std::atomic<int> s_idlePollCount{0};

std::string subscriptionPrefix(const IDeviceInfo* deviceInfo)
{
    std::string id = (deviceInfo && deviceInfo->id()) ? deviceInfo->id() : "";
    // The server reports ids in braces; the AI engine writes them without. Any other form is
    // taken as it is, whatever its length.
    if (id.size() >= 2 && id.front() == '{' && id.back() == '}')
        id = id.substr(1, id.size() - 2);
    return "{\"src_uuid\":\"" + id + "\"";
}

/**
 * Index of the quote that closes the string opened at `open`, or text.size() if none does. A
 * quote closes it unless an odd run of backslashes precedes it. memchr skips the contents at
 * memory speed: most of a message is string contents (an embedded face image alone is over a
 * kilobyte), and a byte-by-byte walk through them cost as much as the conversions.
 */
size_t closingQuote(std::string_view text, size_t open)
{
    for (size_t from = open + 1; from < text.size();)
    {
        const void* found = std::memchr(text.data() + from, '"', text.size() - from);
        if (!found)
            break;
        const size_t quote = static_cast<size_t>(static_cast<const char*>(found) - text.data());
        size_t backslashes = 0;
        while (quote - backslashes > open + 1 && text[quote - backslashes - 1] == '\\')
            ++backslashes;
        if (backslashes % 2 == 0)
            return quote;
        from = quote + 1;
    }
    return text.size();
}

/**
 * Throws if the text nests objects and arrays deeper than kMaxMessageDepth. Brackets inside
 * strings do not count; for any text that parses as JSON the count is exact.
 */
void rejectDeepNesting(std::string_view text)
{
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i)
    {
        switch (text[i])
        {
            case '"':
                i = closingQuote(text, i);
                break;
            case '{':
            case '[':
                if (++depth > kMaxMessageDepth)
                {
                    throw std::length_error("message is nested deeper than "
                        + std::to_string(kMaxMessageDepth) + " levels; discarded");
                }
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
}

/** The array index that a JSON Pointer token names, or -1 if the token is not one. */
long long arrayIndex(const std::string& token)
{
    if (token.empty() || token.size() > 18 || (token.size() > 1 && token[0] == '0'))
        return -1;
    long long index = 0;
    for (const char c: token)
    {
        if (c < '0' || c > '9')
            return -1;
        index = index * 10 + (c - '0');
    }
    return index;
}

/**
 * The counter value of an alarm ("/event/counter/value/0"), or null if the path ends at a
 * missing member, a missing element or a null. A step through any other non-container value,
 * or a non-numeric step into an array, is malformed input and throws.
 */
const nlohmann::json* findCounterValue(const nlohmann::json& message)
{
    static const std::array<std::string, 4> kPath{"event", "counter", "value", "0"};
    const nlohmann::json* node = &message;
    for (const std::string& token: kPath)
    {
        if (node->is_null())
            return nullptr;
        if (node->is_object())
        {
            const auto it = node->find(token);
            if (it == node->end())
                return nullptr;
            node = &*it;
        }
        else if (node->is_array())
        {
            const long long index = arrayIndex(token);
            if (index < 0)
            {
                throw std::invalid_argument("/event/counter/value/0: array index '" + token
                    + "' is not a number");
            }
            if (static_cast<unsigned long long>(index) >= node->size())
                return nullptr;
            node = &(*node)[static_cast<size_t>(index)];
        }
        else
        {
            throw std::invalid_argument("/event/counter/value/0: cannot resolve '" + token
                + "' in a " + node->type_name() + " value");
        }
    }
    return node->is_null() ? nullptr : node;
}

bool hasNonNullMember(const nlohmann::json& message, const char* name)
{
    const auto it = message.find(name);
    return it != message.end() && !it->is_null();
}

/** Frame time plus a correction in milliseconds, saturated instead of overflowing. */
int64_t correctedTimestampUs(int64_t frameTimestampUs, int timeCorrectionMs)
{
    const int64_t correctionUs = static_cast<int64_t>(timeCorrectionMs) * 1000;
    int64_t result = 0;
    if (__builtin_add_overflow(frameTimestampUs, correctionUs, &result))
    {
        return correctionUs > 0
            ? std::numeric_limits<int64_t>::max()
            : std::numeric_limits<int64_t>::min();
    }
    return result;
}

} // namespace

//-------------------------------------------------------------------------------------------------
// Lifecycle.

DeviceAgent::DeviceAgent(const IDeviceInfo* deviceInfo, ReceiveThread receiveThread):
    DeviceAgent(deviceInfo, /*relayContext*/ nullptr, receiveThread)
{
}

DeviceAgent::DeviceAgent(
    const IDeviceInfo* deviceInfo, RelayContext relayContext, ReceiveThread receiveThread):
    ConsumingDeviceAgent(deviceInfo, /*enableOutput*/ true),
    m_counterTrackId(UuidHelper::randomUuid()),
    m_trackIdBase(UuidHelper::randomUuid()),
    m_trackIdBaseString(UuidHelper::toStdString(m_trackIdBase, UuidHelper::all)),
    m_zeromqFilter(subscriptionPrefix(deviceInfo)),
    m_relayContext(std::move(relayContext))
{
    NX_PRINT << "DeviceAgent" << " m_zeromqFilter: " << m_zeromqFilter;

    if (receiveThread == ReceiveThread::none)
        return;
    if (!m_relayContext)
    {
        NX_PRINT << "DeviceAgent" << " made without an engine's relay: receives nothing";
        return;
    }
    m_wakeup = std::make_unique<Wakeup>();
    // Last: the thread reads every field above.
    m_thread = std::thread([this]() { threadFuncZeromqProcess(); });
}

DeviceAgent::~DeviceAgent()
{
    m_terminated = true;
    if (m_wakeup)
        m_wakeup->notify();
    if (m_thread.joinable())
    {
        try
        {
            m_thread.join();
        }
        catch (const std::exception& e)
        {
            NX_PRINT << "~DeviceAgent" << " cannot join the receive thread: " << e.what();
        }
    }
}

int DeviceAgent::idlePollCount()
{
    return s_idlePollCount.load();
}

//-------------------------------------------------------------------------------------------------
// Receive thread.

void DeviceAgent::threadFuncZeromqProcess()
{
    // Nothing may leave the thread; even a failing log line is swallowed here.
    try
    {
        NX_PRINT << "threadFuncZeromqProcess" << " start!!";
        while (!m_terminated)
        {
            // After a failure, a pause that a stop cuts short.
            if (!receiveUntilStopped())
                (void) m_wakeup->waitFor(kRetryDelay);
        }
        NX_PRINT << "threadFuncZeromqProcess" << " terminated!!";
    }
    catch (...)
    {
    }
}

bool DeviceAgent::receiveUntilStopped()
{
    // Names the step in progress for the failure line. The socket is closed before the thread
    // lets go of the context (in the destructor), so the context never waits for it.
    const char* step = " cannot create the socket: ";
    try
    {
        zmq::socket_t socket(*m_relayContext, zmq::socket_type::sub);
        // A stopping agent must not wait for undelivered data.
        socket.set(zmq::sockopt::linger, 0);
        // ZeroMQ bounds its queues by message count, not bytes: keep a slow camera's backlog of
        // large messages from growing the server process by gigabytes.
        socket.set(zmq::sockopt::rcvhwm, kReceiveHighWaterMark);
        // In-process connects do not wait for the bind: the relay binds after its start-up
        // delay, and never if the engine is gone; until then nothing arrives.
        step = " cannot connect to the relay: ";
        socket.connect(kAgentRelayEndpoint);
        step = " cannot subscribe: ";
        socket.set(zmq::sockopt::subscribe, m_zeromqFilter);
        step = " receive failed: ";
        pollUntilStopped(socket);
        return true;
    }
    catch (const std::exception& e)
    {
        NX_PRINT << "threadFuncZeromqProcess" << step << e.what();
    }
    catch (...)
    {
        NX_PRINT << "threadFuncZeromqProcess" << step << "unknown error";
    }
    return false;
}

void DeviceAgent::pollUntilStopped(zmq::socket_t& socket)
{
    while (!m_terminated)
    {
        zmq_pollitem_t items[] = {
            {socket.handle(), 0, ZMQ_POLLIN, 0},
            {nullptr, m_wakeup->fd(), ZMQ_POLLIN, 0},
        };
        // No timeout: an idle agent sleeps until a message or its stop.
        if (zmq_poll(items, 2, -1) < 0)
        {
            if (zmq_errno() == EINTR)
                continue;
            NX_PRINT << "threadFuncZeromqProcess" << " poll Error: " << zmq_strerror(zmq_errno());
            // A poll that keeps failing must not turn into a busy loop that floods the log.
            (void) m_wakeup->waitFor(kPollErrorPause);
            continue;
        }
        if (items[1].revents & ZMQ_POLLIN)
            return; //< Only the destructor notifies, after setting m_terminated.
        if (items[0].revents & ZMQ_POLLIN)
            receiveWaitingMessages(socket);
    }
}

void DeviceAgent::receiveWaitingMessages(zmq::socket_t& socket)
{
    while (!m_terminated)
    {
        zmq::message_t message;
        // Not blocking: a stopping agent must never hang here. A real receive failure throws
        // and makes the caller re-create the socket.
        if (!socket.recv(message, zmq::recv_flags::dontwait))
            return;
        if (m_lastFrameTimestampUs.load() == 0)
            continue; //< No frame yet: nothing to stamp the packets with.

        handleMessage(std::string_view(static_cast<const char*>(message.data()), message.size()));
    }
}

void DeviceAgent::handleMessage(std::string_view text)
{
    try
    {
        rejectDeepNesting(text);
        const nlohmann::json message = nlohmann::json::parse(
            text.data(), text.data() + text.size(), /*callback*/ nullptr,
            /*allow_exceptions*/ true, /*ignore_comments*/ false);

        if (m_enableDebugDump)
        {
            NX_PRINT << "threadFuncZeromqProcess" << " recv_msg: "
                << message.dump(2, ' ', /*ensure_ascii*/ false,
                    nlohmann::json::error_handler_t::replace);
        }

        if (message.is_object())
        {
            if (message.contains("event"))
            {
                pushIfAny(generateEventMetadataPacket(message));
                pushIfAny(generateObjectMetadataPacket(message));
            }
            if (message.contains("meta"))
                pushIfAny(generateObjectMetadataPacket_only(message));
        }
    }
    catch (const std::exception& e)
    {
        logMessageException(e.what());
    }
    catch (...)
    {
        logMessageException("unknown exception");
    }
    s_idlePollCount = 0;
}

void DeviceAgent::logMessageException(const char* text) noexcept
{
    try
    {
        NX_PRINT << "threadFuncZeromqProcess" << " exception: " << errorTextForLog(text);
    }
    catch (...)
    {
    }
}

void DeviceAgent::handleIdlePoll()
{
    // Increment and the reset at the threshold are one atomic step, so exactly one of several
    // idle agents renews its base when the shared count passes the threshold.
    int count = s_idlePollCount.load();
    int next = 0;
    do
        next = (count >= kIdlePollsBeforeRenewal) ? 0 : count + 1;
    while (!s_idlePollCount.compare_exchange_weak(count, next));

    if (next == 0)
        renewTrackIdBase();
}

void DeviceAgent::pushIfAny(Ptr<IMetadataPacket> packet)
{
    if (packet)
        pushMetadataPacket(packet.releasePtr());
}

//-------------------------------------------------------------------------------------------------
// Video hooks and the server's other calls.

bool DeviceAgent::pushCompressedVideoFrame(const ICompressedVideoPacket* videoFrame)
{
    if (!videoFrame)
        return false;
    m_lastFrameTimestampUs = correctedTimestampUs(videoFrame->timestampUs(), m_timeCorrection);
    return true;
}

bool DeviceAgent::pushUncompressedVideoFrame(const IUncompressedVideoFrame* videoFrame)
{
    if (!videoFrame)
        return false;
    m_lastFrameTimestampUs = videoFrame->timestampUs();
    return true;
}

bool DeviceAgent::pullMetadataPackets(std::vector<IMetadataPacket*>* /*metadataPackets*/)
{
    return true; //< Every packet leaves through the receive thread.
}

void DeviceAgent::doSetNeededMetadataTypes(
    Result<void>* /*outResult*/, const IMetadataTypes* /*neededMetadataTypes*/)
{
    // The agent sends the same metadata whatever the server asks for.
}

//-------------------------------------------------------------------------------------------------
// Settings.

void DeviceAgent::applyBooleanSetting(
    const char* key, std::atomic<bool>& member, const char* logLabel)
{
    member = settingValue(key) == "true";
    NX_PRINT << "settingsReceived" << logLabel << (member ? 1 : 0);
}

Result<const ISettingsResponse*> DeviceAgent::settingsReceived()
{
    try
    {
        auto response = makePtr<SettingsResponse>();

        applyBooleanSetting("enableMetadata", m_enableMetadata, " m_enableMetadata:");
        applyBooleanSetting("enableDebugDump", m_enableDebugDump, " m_enableDebugDump:");
        applyBooleanSetting(
            "skipNullFaceObject", m_skipNullFaceObject, " m_skipNullFaceObject:");
        applyBooleanSetting(
            "skipNullPlateObject", m_skipNullPlateObject, " m_skipNullPlateObject:");
        applyBooleanSetting("showCounter", m_showCounter, " m_showCounter:");

        int timeCorrection = 0;
        if (nx::kit::utils::parseInt(settingValue("timeCorrection"), &timeCorrection))
            m_timeCorrection = timeCorrection;
        NX_PRINT << "settingsReceived" << " m_timeCorrection:" << m_timeCorrection.load();

        return response.releasePtr();
    }
    catch (const std::exception& e)
    {
        // Only resource exhaustion gets here; the server must still get an answer.
        return error(ErrorCode::internalError, std::string("settingsReceived: ") + e.what());
    }
}

//-------------------------------------------------------------------------------------------------
// Manifest.

std::string DeviceAgent::manifestString() const
{
    return R"json({
    "eventTypes": [
        {"id": "skyloom.plugin.evt_abandon",            "name": "Illegal Dumping"    },
        {"id": "skyloom.plugin.evt_animal",             "name": "Animal Detection"   },
        {"id": "skyloom.plugin.evt_body_gaze",          "name": "Intentional Body Gaze Detector" },
        {"id": "skyloom.plugin.evt_crowd",              "name": "Crowd Detection"    },
        {"id": "skyloom.plugin.evt_fallen",             "name": "Fallen Person Detection" },
        {"id": "skyloom.plugin.evt_fence",              "name": "Virtual Fence"      },
        {"id": "skyloom.plugin.evt_fire",               "name": "Fire Detection"     },
        {"id": "skyloom.plugin.evt_hand_intrusion",     "name": "Hand & Foot Intrusion"  },
        {"id": "skyloom.plugin.evt_illegal_parking",    "name": "Illegal Parking"    },
        {"id": "skyloom.plugin.evt_intrusion",          "name": "Intrusion Detection"},
        {"id": "skyloom.plugin.evt_loitering",          "name": "Loitering Person"   },
        {"id": "skyloom.plugin.evt_lpr",                "name": "LPR"                },
        {"id": "skyloom.plugin.evt_no_helmet",          "name": "Helmet Not Wearing" },
        {"id": "skyloom.plugin.evt_no_vest",            "name": "Safety-Vest Not Wearing" },
        {"id": "skyloom.plugin.evt_occupancy",          "name": "Occupancy Counting" },
        {"id": "skyloom.plugin.evt_people_counting",    "name": "People Counting"    },
        {"id": "skyloom.plugin.evt_prolonged_stay",     "name": "Human Prolonged Stay" },
        {"id": "skyloom.plugin.evt_ptz_tracking",       "name": "PTZ Tracking"       },
        {"id": "skyloom.plugin.evt_stay_go",            "name": "Stay & Go"          },
        {"id": "skyloom.plugin.evt_stopping",           "name": "Stopping Detection" },
        {"id": "skyloom.plugin.evt_tailgating",         "name": "Tailgating"         },
        {"id": "skyloom.plugin.evt_threat",             "name": "Imminent Threat"    },
        {"id": "skyloom.plugin.evt_vehicle_counting",   "name": "Vehicle Counting"   },
        {"id": "skyloom.plugin.evt_violence",           "name": "Violence Detection" },
        {"id": "skyloom.plugin.evt_zone_occupancy",     "name": "Zone Counting"      },
        {"id": "skyloom.plugin.evt_dpc",                "name": "Project(DPC)"       },
        {"id": "skyloom.plugin.evt_unregistered",       "name": "Event"              }
    ],
    "objectTypes": [
        {"id": "skyloom.plugin.obj_person",          "name": "person" },
        {"id": "skyloom.plugin.obj_fallen",          "name": "fallen" },
        {"id": "skyloom.plugin.obj_nohelmet",        "name": "no-helmet" },
        {"id": "skyloom.plugin.obj_novest",          "name": "no-vest" },
        {"id": "skyloom.plugin.obj_animal",          "name": "animal" },
        {"id": "skyloom.plugin.obj_bike",            "name": "bike" },
        {"id": "skyloom.plugin.obj_car",             "name": "car" },
        {"id": "skyloom.plugin.obj_lp",              "name": "lp" },
        {"id": "skyloom.plugin.obj_fire",            "name": "fire" },
        {"id": "skyloom.plugin.obj_abandoned",       "name": "abandoned" },
        {"id": "skyloom.plugin.obj_violence",        "name": "violence" },
        {"id": "skyloom.plugin.obj_counter",         "name": "counter" },
        {"id": "skyloom.plugin.obj_unregistered",    "name": "object" }
    ]
}
)json";
}

//-------------------------------------------------------------------------------------------------
// Event path.

std::string DeviceAgent::eventTypeIdForSource(const std::string& source)
{
    // Tested in this order; only "lpr" is a prefix test.
    static const std::array<std::pair<std::string_view, const char*>, 11> kBeforeLpr{{
        {"intrusion", "skyloom.plugin.evt_intrusion"},
        {"loitering", "skyloom.plugin.evt_loitering"},
        {"fence", "skyloom.plugin.evt_fence"},
        {"abandon", "skyloom.plugin.evt_abandon"},
        {"animal", "skyloom.plugin.evt_animal"},
        {"body_gaze", "skyloom.plugin.evt_body_gaze"},
        {"crowd", "skyloom.plugin.evt_crowd"},
        {"fallen", "skyloom.plugin.evt_fallen"},
        {"fire", "skyloom.plugin.evt_fire"},
        {"hand_intrusion", "skyloom.plugin.evt_hand_intrusion"},
        {"illegal_parking", "skyloom.plugin.evt_illegal_parking"},
    }};
    static const std::array<std::pair<std::string_view, const char*>, 13> kAfterLpr{{
        {"no_helmet", "skyloom.plugin.evt_no_helmet"},
        {"no_vest", "skyloom.plugin.evt_no_vest"},
        {"occupancy", "skyloom.plugin.evt_occupancy"},
        {"people_counting", "skyloom.plugin.evt_people_counting"},
        {"prolonged_stay", "skyloom.plugin.evt_prolonged_stay"},
        {"stay_go", "skyloom.plugin.evt_stay_go"},
        {"stopping", "skyloom.plugin.evt_stopping"},
        {"tailgating", "skyloom.plugin.evt_tailgating"},
        {"threat", "skyloom.plugin.evt_threat"},
        {"vehicle_counting", "skyloom.plugin.evt_vehicle_counting"},
        {"violence", "skyloom.plugin.evt_violence"},
        {"zone_occupancy", "skyloom.plugin.evt_zone_occupancy"},
        {"dpc", "skyloom.plugin.evt_dpc"},
    }};

    // Names as views: comparing lengths first, not strlen and a compare per entry.
    const std::string_view sourceView(source);
    for (const auto& [name, typeId]: kBeforeLpr)
    {
        if (sourceView == name)
            return typeId;
    }
    if (source.compare(0, 3, "lpr") == 0)
        return "skyloom.plugin.evt_lpr";
    for (const auto& [name, typeId]: kAfterLpr)
    {
        if (sourceView == name)
            return typeId;
    }
    return "skyloom.plugin.evt_unregistered";
}

Ptr<IMetadataPacket> DeviceAgent::generateEventMetadataPacket(const nlohmann::json& message)
{
    try
    {
        for (const char* member: {"caption", "description", "source"})
        {
            if (!hasNonNullMember(message, member))
                return {};
        }

        const int64_t timestampUs = m_lastFrameTimestampUs.load();

        auto eventPacket = makePtr<EventMetadataPacket>();
        eventPacket->setTimestampUs(timestampUs);
        eventPacket->setDurationUs(kEventDurationUs);

        auto event = makePtr<EventMetadata>();
        event->setTypeId(eventTypeIdForSource(readText(message.at("source"))));
        event->setIsActive(true);
        event->setCaption(readText(message.at("caption")));
        event->setDescription(readText(message.at("description")));
        eventPacket->addItem(event.get());

        if (m_showCounter)
        {
            if (const nlohmann::json* counterValue = findCounterValue(message))
                pushCounterPacket(readText(message.at("caption")), *counterValue, timestampUs);
        }

        return eventPacket;
    }
    catch (const std::exception& e)
    {
        NX_PRINT << "generateEventMetadataPacket" << " exception: " << errorTextForLog(e.what());
    }
    return {};
}

void DeviceAgent::pushCounterPacket(
    const std::string& caption, const nlohmann::json& counterValue, int64_t timestampUs)
{
    // Read first: a malformed value must leave nothing pushed. Unlike track ids, a counter
    // must be a number: a boolean is malformed here.
    if (!counterValue.is_number())
    {
        throw std::invalid_argument(
            std::string("counter value must be a number, but is ") + counterValue.type_name());
    }
    const int value = readInt32(counterValue);

    auto counter = makePtr<ObjectMetadata>();
    counter->setTypeId(kCounterObjectTypeId);
    counter->setTrackId(m_counterTrackId);
    counter->setBoundingBox(Rect(0.05F, 0.05F, 0.001F, 0.001F));
    counter->addAttribute(
        makePtr<Attribute>(IAttribute::Type::number, caption, std::to_string(value)));

    auto counterPacket = makePtr<ObjectMetadataPacket>();
    counterPacket->setTimestampUs(timestampUs);
    counterPacket->setDurationUs(kCounterDurationUs);
    counterPacket->addItem(counter.get());

    pushMetadataPacket(counterPacket.releasePtr());
}

} // namespace nx::vms_server_plugins::analytics::sample
