// What the relay acts upon from the engine's settings, as one value that the engine replaces
// whole and the relay reads on its wake-ups.
//
// Threads: RelaySettingsBox may be written and read from any thread (server threads write, the
// relay and the ZAP handler's thread read). The engine id is written apart from the settings
// (setEngineInfo and settingsReceived are separate calls), so that neither overwrites the other.
#pragma once

#include <memory>
#include <string>

#include "common/thread_annotations.h"
#include "ingress/ingress_policy.h"
#include "settings/settings_table.h"

namespace nx::vms_server_plugins::analytics::sample {

/** Where the service port listens, and why there. */
class ServicePortChoice
{
public:
    /** Before any settings: the port an engine listened on before it had settings. */
    static constexpr int kWithoutSettings = 9011;
    /** When only refused values came: the settings model's default. */
    static constexpr int kDefault = setting::kServicePort.defaultValue.number();

    /** A setting::kServicePort was taken. */
    void accept(int port)
    {
        m_origin = Origin::accepted;
        m_accepted = port;
    }

    /** A setting::kServicePort was refused: it changes nothing once a port was taken. */
    void refuse()
    {
        if (m_origin == Origin::noSettings)
            m_origin = Origin::onlyRefused;
    }

    [[nodiscard]] int port() const
    {
        switch (m_origin)
        {
            case Origin::noSettings: return kWithoutSettings;
            case Origin::onlyRefused: return kDefault;
            case Origin::accepted: return m_accepted;
        }
        return kDefault;
    }

private:
    enum class Origin { noSettings, onlyRefused, accepted };
    Origin m_origin = Origin::noSettings;
    int m_accepted = 0; //< With Origin::accepted: 1024 to 65535.
};

struct RelaySettings
{
    ServicePortChoice servicePort;
    bool loopbackRelay = true; //< setting::kLoopbackRelay
    /** setting::kLoopbackRelayEndpoint: empty for the private copy, else a checked endpoint. */
    std::string loopbackEndpoint;
    /** The engine's id from the server (empty until it is known): it names the private copy. */
    std::string engineId;
    bool isolateReceiver = true; //< setting::kIsolateReceiver
    /** setting::kReceiveMessagesFor is kOwnCameras: subscribe to this engine's cameras only. */
    bool ownCamerasOnly = false;
    std::string metricsFile; //< setting::kMetricsFile: empty, or an absolute path.
    std::shared_ptr<const IngressPolicy> ingressPolicy = std::make_shared<IngressPolicy>();
};

class RelaySettingsBox
{
public:
    /** Every value but the engine id, which comes from another call of the server. */
    void put(RelaySettings settings) EXCLUDES(m_mutex)
    {
        MutexLock lock(m_mutex);
        m_settings = std::move(settings);
        m_settings.engineId = m_engineId;
    }

    void putEngineId(std::string engineId) EXCLUDES(m_mutex)
    {
        MutexLock lock(m_mutex);
        m_engineId = std::move(engineId);
        m_settings.engineId = m_engineId;
    }

    [[nodiscard]] RelaySettings get() const EXCLUDES(m_mutex)
    {
        MutexLock lock(m_mutex);
        return m_settings;
    }

    [[nodiscard]] std::shared_ptr<const IngressPolicy> policy() const EXCLUDES(m_mutex)
    {
        MutexLock lock(m_mutex);
        return m_settings.ingressPolicy;
    }

private:
    mutable Mutex m_mutex;
    RelaySettings m_settings GUARDED_BY(m_mutex);
    std::string m_engineId GUARDED_BY(m_mutex);
};

} // namespace nx::vms_server_plugins::analytics::sample
