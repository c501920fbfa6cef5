#include "engine.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>

#include <zmq.hpp>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>
#include <nx/sdk/helpers/settings_response.h>

#include "device_agent.h"
#include "plugin.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->logUtils.enableOutput)

namespace nx::vms_server_plugins::analytics::sample {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

namespace {

constexpr char kRelayFunc[] = "threadFuncZeromqLoop";

/** Gives the server time to deliver the engine settings before the first bind. */
constexpr std::chrono::milliseconds kStartupDelay{5000};

constexpr int kPollTimeoutMs = 1000;
constexpr std::chrono::milliseconds kPollErrorPause{50};

/** The AI engine's messages are a few KB, a few hundred KB with an embedded image. */
constexpr int64_t kMaxMessageSize = 4 * 1024 * 1024;

/** Messages queued per device agent before the relay drops (with ZMQ_DONTWAIT). */
constexpr int kOutputHighWaterMark = 100;

constexpr char kServicePortCaption[] = "Cannot listen for the AI engine";
constexpr char kRelayEndpointCaption[] = "Cannot open the internal relay endpoint";

/**
 * Decimal value of a setting text as atoi reads it (leading blanks skipped, digits up to the
 * first other character, 0 without digits), but 0 instead of undefined behaviour when the
 * value does not fit an int.
 */
int parseServicePort(const std::string& text)
{
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return 0;
    return static_cast<int>(value);
}

} // namespace

Engine::Engine(Plugin* plugin):
    nx::sdk::analytics::Engine(/*enableOutput*/ true),
    m_plugin(plugin)
{
    m_thread = std::thread([this]() { threadFuncZeromqLoop(); });
}

Engine::~Engine()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_terminated = true;
    }
    m_stopCondition.notify_all();

    if (m_thread.joinable())
    {
        // Joining itself would throw; only reachable if a call made by the relay thread drops
        // the engine's last reference.
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

std::string Engine::manifestString() const
{
    return R"json({
    "capabilities": "",
    "streamTypeFilter": "motion|compressedVideo|metadata",
    "preferredStream": "primary",
    "deviceAgentSettingsModel": {
        "type": "Settings",
        "items": [
           {
                "type": "GroupBox",
                "caption": "Engine settings",
                "items": [
                    {
                        "type": "CheckBox",
                        "name": "skipNullFaceObject",
                        "caption": "Ignore Metadata (unanalyzed face objects)",
                        "defaultValue": true,
                        "value": true
                    },
                    {
                        "type": "CheckBox",
                        "name": "skipNullPlateObject",
                        "caption": "Ignore Metadata (unanalyzed plate objects)",
                        "defaultValue": true,
                        "value": true
                    },
                    {
                        "type": "CheckBox",
                        "name": "showCounter",
                        "caption": "Show Counter",
                        "defaultValue": true,
                        "value": true
                    },
                    {
                        "type": "Separator" 
                    },
                    {
                        "type": "CheckBox",
                        "name": "enableDebugDump",
                        "caption": "Enable Debug Dump (for Debugging, not recommended)",
                        "defaultValue": false,
                        "value": false
                    },
                    {
                        "type": "CheckBox",
                        "name": "enableMetadata",
                        "caption": "Enable Metadata (for Debugging, not recommended)",
                        "defaultValue": false,
                        "value": false
                    },
                    {
                        "type": "SpinBox",
                        "name": "timeCorrection",
                        "caption": "Metadata Timestamp Correction (ms)",
                        "defaultValue": 0,
                        "minValue": -5000,
                        "maxValue": 5000
                    }
                ]
            }
        ],
        "sections": [
           {
                "type": "Section",
                "caption": "ROI",
                "items": [
                    {
                        "type": "GroupBox",
                        "caption": "Polygons",
                        "items": [
                            {
                                "type": "Repeater",
                                "count": 5,
                                "template": {
                                    "type": "GroupBox",
                                    "caption": "Polygon #",
                                    "filledCheckItems": ["polygon#.figure"],
                                    "items": [
                                        {
                                            "type": "PolygonFigure",
                                            "name": "polygon#.figure",
                                            "minPoints": 4,
                                            "maxPoints": 16
                                        }
                                    ]
                                }
                            }
                        ]
                    },
                    {
                        "type": "GroupBox",
                        "caption": "Lines",
                        "items": [
                            {
                                "type": "Repeater",
                                "count": 5,
                                "template": {
                                    "type": "GroupBox",
                                    "caption": "Line #",
                                    "filledCheckItems": ["line#.figure"],
                                    "items": [
                                        {
                                            "type": "LineFigure",
                                            "name": "line#.figure"
                                        }
                                    ]
                                }
                            }
                        ]
                    }
                ]
            }
        ]
    }
}
)json";
}

Result<const ISettingsResponse*> Engine::settingsReceived()
{
    const int servicePort = parseServicePort(settingValue("ServicePort"));
    m_servicePort = servicePort;
    NX_PRINT << "settingsReceived" << " m_servicePort:" << servicePort;
    return makePtr<SettingsResponse>().releasePtr();
}

void Engine::doObtainDeviceAgent(Result<IDeviceAgent*>* outResult, const IDeviceInfo* deviceInfo)
{
    logUtils.guardBoundaryCall(__func__, outResult,
        [&]() { *outResult = new DeviceAgent(deviceInfo); });
}

void Engine::threadFuncZeromqLoop()
{
    // Nothing may leave the thread: a failed setup is logged and ends only the relay.
    try
    {
        NX_PRINT << kRelayFunc << " start!!";
        if (sleepUnlessStopped(kStartupDelay))
            runRelay();
    }
    catch (const std::exception& e)
    {
        try { NX_PRINT << kRelayFunc << " exception: " << e.what(); } catch (...) {}
    }
    catch (...)
    {
        try { NX_PRINT << kRelayFunc << " exception: unknown"; } catch (...) {}
    }

    try { NX_PRINT << kRelayFunc << " terminated!!"; } catch (...) {}
}

void Engine::runRelay()
{
    int noPort = 0;
    m_servicePort.compare_exchange_strong(noPort, kDefaultServicePort);

    zmq::context_t context;

    // Linger 0: closing must never wait for peers that do not read.
    zmq::socket_t input(context, zmq::socket_type::sub);
    input.set(zmq::sockopt::linger, 0);
    input.set(zmq::sockopt::maxmsgsize, kMaxMessageSize);
    int boundPort = m_servicePort;
    bindInput(input, boundPort);

    zmq::socket_t output(context, zmq::socket_type::pub);
    output.set(zmq::sockopt::linger, 0);
    // Per subscriber: with messages of up to kMaxMessageSize, the default of 1000 queued
    // messages would let one slow camera hold gigabytes.
    output.set(zmq::sockopt::sndhwm, kOutputHighWaterMark);
    const bool outputBound = bindOutput(output);

    while (!m_terminated)
    {
        try
        {
            zmq::pollitem_t items[] = {{input.handle(), 0, ZMQ_POLLIN, 0}};
            const int pollResult = zmq_poll(items, 1, kPollTimeoutMs);
            if (pollResult < 0)
            {
                NX_PRINT << kRelayFunc << " poll Error";
                // A poll that keeps failing must not turn into a busy loop that floods the log.
                sleepUnlessStopped(kPollErrorPause);
            }
            else if (items[0].revents & ZMQ_POLLIN)
                relayOneMessage(input, output, outputBound);

            // A port that failed to bind is tried again only when the setting changes again.
            const int servicePort = m_servicePort;
            if (servicePort != boundPort)
            {
                boundPort = servicePort;
                bindInput(input, servicePort);
            }
        }
        catch (const std::exception& e)
        {
            NX_PRINT << kRelayFunc << " exception: " << e.what();
        }
        catch (...)
        {
            NX_PRINT << kRelayFunc << " exception: unknown";
        }
    }

    input.close();
    output.close();
    context.close();
}

/** Adds the service port to the input socket's endpoints; failures are logged and reported. */
bool Engine::bindInput(zmq::socket_t& input, int port)
{
    const std::string endpoint = nx::kit::utils::formatText("tcp://*:%d", port);
    const bool bound = bindEndpoint(input, endpoint, kServicePortCaption);
    input.set(zmq::sockopt::subscribe, "");
    return bound;
}

bool Engine::bindOutput(zmq::socket_t& output)
{
    return bindEndpoint(output, kRelayEndpoint, kRelayEndpointCaption);
}

bool Engine::bindEndpoint(zmq::socket_t& socket, const std::string& endpoint, const char* caption)
{
    try
    {
        socket.bind(endpoint);
    }
    catch (const zmq::error_t& e)
    {
        NX_PRINT << kRelayFunc << " bind " << endpoint << " failed: " << e.what();
        pushPluginDiagnosticEvent(
            IPluginDiagnosticEvent::Level::error, caption, endpoint + ": " + e.what());
        return false;
    }
    NX_PRINT << kRelayFunc << " bind " << endpoint;
    return true;
}

/**
 * Moves one waiting frame from input to output as a message of its own. Without a bound output
 * the frame is still taken, so that nothing piles up. Would-block is not an error: nothing was
 * waiting, or the output dropped the message.
 */
void Engine::relayOneMessage(zmq::socket_t& input, zmq::socket_t& output, bool outputBound)
{
    zmq::message_t message;
    try
    {
        if (!input.recv(message, zmq::recv_flags::dontwait) || !outputBound)
            return;
    }
    catch (const zmq::error_t& e)
    {
        NX_PRINT << kRelayFunc << " recv error: " << e.what();
        return;
    }

    try
    {
        (void) output.send(message, zmq::send_flags::dontwait);
    }
    catch (const zmq::error_t& e)
    {
        NX_PRINT << kRelayFunc << " send error: " << e.what();
    }
}

bool Engine::sleepUnlessStopped(std::chrono::milliseconds duration)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_stopCondition.wait_for(lock, duration, [this]() { return m_terminated.load(); });
}

} // namespace nx::vms_server_plugins::analytics::sample
