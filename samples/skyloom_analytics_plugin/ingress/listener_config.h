// What the engine tells its receiver process: the port, the port that listened last (in the
// receiver before, or in the server's process; what a new receiver listens on if the port cannot
// be bound), and the parts of the IngressPolicy that the service port's listener and ZAP handler
// read (address, allow-list, CurveZMQ keys with the names of the AI engines' certificates), as
// JSON text. The engine read the key files; the receiver gets the keys themselves and opens no
// file. Camera restrictions stay with the engine, which checks each message against them.
//
// Pure functions; any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ingress_policy.h"

namespace nx::vms_server_plugins::analytics::sample {

struct ListenerConfig
{
    int port = 0;
    int workingPort = 0; //< 0: none.
    std::shared_ptr<const IngressPolicy> policy;
};

[[nodiscard]] std::string encodeListenerConfig(
    int port, int workingPort, const IngressPolicy& policy);

/** Nothing, with the reason, if the text is not a configuration of encodeListenerConfig(). */
[[nodiscard]] std::optional<ListenerConfig> decodeListenerConfig(
    std::string_view text, std::string* error);

} // namespace nx::vms_server_plugins::analytics::sample
