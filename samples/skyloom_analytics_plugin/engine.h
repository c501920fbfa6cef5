// The plugin's engine: the engine manifest (with the device agents' settings model), the engine
// settings as the server delivers them (checked, refused with a reason, handed to the relay as
// one value), the device agent factory, and what the service port tells the operator: AI
// engines refused, connecting and disconnecting, held to a rate per address, to a number of
// addresses a minute (the rest summarised) and to the engine's TextBudget. The relay itself
// (RelayThread) takes every message from the AI engine and hands it to this engine's agents.
//
// Ownership: the engine creates the ZeroMQ context (RelayContext) and shares it with every
// agent it makes; an agent may outlive the engine, it then receives nothing more. Server threads
// construct, configure and destroy the engine; the destructor stops and joins the relay first
// (which stops and reaps the receiver), since the relay calls into the engine. The device agent
// returned by doObtainDeviceAgent carries one reference for the server.
//
// Threads: settingsReceived() and doObtainDeviceAgent() on server threads; the IngressSink
// calls from the relay thread and the ZAP handler's thread (tick() and untilDue() from the relay
// thread).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nx/sdk/analytics/helpers/engine.h>
#include <nx/sdk/helpers/settings_response.h>

#include "ingress/ingress_policy.h"
#include "ingress/ingress_sink.h"
#include "ingress/peer_reports.h"
#include "relay/relay_context.h"
#include "relay/relay_thread.h"

namespace nx::vms_server_plugins::analytics::sample {

class Engine: public nx::sdk::analytics::Engine, private IngressSink
{
public:
    /**
     * Creates the shared context (with the periods that the relay and the agents wait out) and
     * starts the relay thread. Throws if ZeroMQ or the system refuses a context, a descriptor or
     * a thread.
     */
    explicit Engine(const Intervals& intervals = kShippedIntervals);
    virtual ~Engine() override;

    virtual void doObtainDeviceAgent(
        nx::sdk::Result<nx::sdk::analytics::IDeviceAgent*>* outResult,
        const nx::sdk::IDeviceInfo* deviceInfo) override;
    /**
     * As the base does; the id also names the engine's private diagnostic copy and labels its
     * metrics file.
     */
    virtual void setEngineInfo(const nx::sdk::analytics::IEngineInfo* engineInfo) override;

protected:
    virtual std::string manifestString() const override;
    virtual nx::sdk::Result<const nx::sdk::ISettingsResponse*> settingsReceived() override;

private:
    IngressSink& sink() { return *this; }

    // IngressSink: what the service port tells, from the relay's or the ZAP handler's thread.
    void event(Level level, const std::string& caption, const std::string& description) override;
    void refused(const std::string& address, const std::string& reason) override;
    void connected(const std::string& address) override;
    void disconnected(const std::string& address) override;
    void tick(Clock::time_point now) override;
    std::chrono::milliseconds untilDue(Clock::time_point now) const override;

    void reportRefusal(const std::string& address, const std::string& reason, int64_t unreported);
    /** "AI engine connected" or "disconnected". */
    void reportConnection(
        const std::string& address, const std::string& change, int64_t unreported);
    /**
     * One line (after `function`, if any) and event for the addresses of a minute not reported
     * one by one.
     */
    void reportSummary(Level level, const char* function, const char* caption,
        const char* noun, const PeerReports::Summary& summary);

    /** Takes setting::kServicePort if it is valid; refuses it in the response otherwise. */
    void applyServicePort(nx::sdk::SettingsResponse* response, ServicePortChoice* choice);
    /** Takes setting::kMetricsFile if it is valid; refuses it in the response otherwise. */
    void applyMetricsFile(nx::sdk::SettingsResponse* response, std::string* metricsFile);
    /** Takes setting::kLoopbackRelayEndpoint if it is valid; refuses it otherwise. */
    void applyLoopbackEndpoint(nx::sdk::SettingsResponse* response, std::string* endpoint);
    /** Takes setting::kReceiveMessagesFor if it is one of its values; refuses it otherwise. */
    void applyReceiveMessagesFor(nx::sdk::SettingsResponse* response, bool* ownCamerasOnly);
    /** Puts an error for the setting into the response and logs it; the old value stays. */
    void refuseSetting(nx::sdk::SettingsResponse* response, const std::string& name,
        const std::string& value, const std::string& expected);

private:
    /** Shared with the agents and the relay. */
    const RelayContext m_context;

    /** Counted by the relay and the ZAP handler; read by the health reports. */
    IngestCounters& m_counters;

    /** Refusals of AI engines, from the ZAP handler's and the relay's threads. */
    PeerReports m_refusals;

    /** Messages refused for their size, counted apart from the ingress policy's refusals. */
    PeerReports m_sizeRefusals;

    /** AI engines connecting and disconnecting. */
    PeerReports m_connections;
    PeerReports m_disconnections;

    /** Last: it calls into everything above from its thread. */
    std::unique_ptr<RelayThread> m_relay;
};

} // namespace nx::vms_server_plugins::analytics::sample
