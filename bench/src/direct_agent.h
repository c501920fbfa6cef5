// One device agent of the bridge driven without sockets: built with no receive thread, given its
// settings, a handler and one video frame the way the server gives them, and then fed message
// texts through receiveMessage(), as its receive thread does. The handler only counts packets,
// so what is measured is the agent's own work. Use from one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nx/sdk/ptr.h>

#include <skyloom/testhost/boundary_calls.h>

#include "agent/device_agent.h"

namespace skyloom::bench {

class CountingHandler;

class DirectAgent
{
public:
    /** benchAgentSettings(): the plugin's defaults, with every detection shown. */
    static testhost::Settings defaultSettings();

    /** Throws std::runtime_error if the agent refuses the settings or the frame. */
    explicit DirectAgent(const testhost::Settings& settings = defaultSettings());
    ~DirectAgent();

    DirectAgent(const DirectAgent&) = delete;
    DirectAgent& operator=(const DirectAgent&) = delete;

    void handle(std::string_view text) { m_agent->receiveMessage(text); }

    /** Packets that reached the handler so far. */
    int64_t packets() const;

private:
    nx::sdk::Ptr<CountingHandler> m_handler;
    nx::sdk::Ptr<nx::vms_server_plugins::analytics::sample::DeviceAgent> m_agent;
};

} // namespace skyloom::bench
