// Several servers fed by one AI engine, in one process: as many engines of the loaded plugin as
// ports, each listening on its own port with one camera of its own, and one PUB socket connected
// to every port, as a site's AI engine is. What crosses to each server is read from its engine's
// metrics file (the bytes and messages that its service port took), with
// setting::kReceiveMessagesFor at either value. Call everything on one thread (the server's
// role); the destructor releases the cameras, then the engines.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <nx/sdk/analytics/i_plugin.h>

#include <skyloom/testhost/ai_engine_publisher.h>

namespace skyloom::bench {

class SiteRig
{
public:
    struct Received
    {
        double messages = 0;
        double bytes = 0;
    };

    /**
     * Creates the engines and their cameras (camera ids from cameraId(1000 + server)) and
     * connects the publisher; the metrics files go to `workDirectory`. Throws
     * std::runtime_error on failure.
     */
    SiteRig(nx::sdk::analytics::IPlugin* plugin, const std::vector<int>& ports,
        std::string workDirectory);
    ~SiteRig();

    SiteRig(const SiteRig&) = delete;
    SiteRig& operator=(const SiteRig&) = delete;

    /**
     * Sets setting::kReceiveMessagesFor on every server and waits until each camera's messages
     * get through (up to `timeout`); throws std::runtime_error if they do not.
     */
    void receiveMessagesFor(const char* value, std::chrono::milliseconds timeout);

    /**
     * Sends `rounds` rounds of one message for every camera, each once, and waits until the
     * servers' counts stop moving: what each server's service port took meanwhile.
     */
    std::vector<Received> send(int rounds);

    /** The bytes of one round: one message per camera. */
    double roundBytes() const;

private:
    struct Server;

    std::vector<Received> readAll();
    Received read(Server& server);

    const std::string m_workDirectory;
    std::vector<std::unique_ptr<Server>> m_servers;
    std::string m_receiveFor;
    std::unique_ptr<testhost::AiEnginePublisher> m_publisher;
};

} // namespace skyloom::bench
