// Who may publish to the service port: the engine settings setting::kServiceAddress,
// setting::kAllowedEngineAddresses, setting::kCurveSecretKeyFile and
// setting::kAuthorizedEnginesDirectory checked and turned into one immutable IngressPolicy,
// which the ZAP handler (handshakes) and the relay (per-message camera restriction) share
// through a shared_ptr. Policies are built on a server thread and only read afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "certificates.h"

namespace nx::vms_server_plugins::analytics::sample {

/** An IPv4 or IPv6 address range; IPv4 is kept as such, also when written IPv4-mapped. */
struct AddressRange
{
    bool v6 = false;
    std::array<uint8_t, 16> bytes{}; //< The first 4 for IPv4.
    int prefixLength = 0;
};

/**
 * Parses "10.0.0.5, 192.168.1.0/24, fd00::/8": addresses and CIDR ranges, comma-separated,
 * blanks ignored. Empty text: an empty list (anyone). On a bad item nothing, with the item.
 */
[[nodiscard]] std::optional<std::vector<AddressRange>> parseAddressRanges(
    const std::string& text, std::string* badItem);

/** Whether the numeric address text is in one of the ranges (false if it is no address). */
[[nodiscard]] bool addressInRanges(
    const std::vector<AddressRange>& ranges, const std::string& address);

/** "*", an IPv4 or IPv6 address, or the name of a network interface of this machine. */
[[nodiscard]] bool isValidServiceAddress(const std::string& address);

/** The service port's endpoint on the address: tcp://ADDRESS:PORT, IPv6 in brackets. */
[[nodiscard]] std::string serviceEndpoint(const std::string& address, int port);

struct IngressPolicy
{
    std::string serviceAddress = "*";
    std::vector<AddressRange> allowedAddresses; //< Empty: any address.

    /** CurveZMQ is asked for: only the keys below get through. */
    bool curve = false;
    /** CurveZMQ is asked for but cannot be loaded: the service port must not listen. */
    std::optional<std::string> failClosedReason;
    SecretCertificate serverKey;
    /** The AI engines' public keys (32 bytes) to their certificates. */
    std::map<std::string, PublicCertificate> engines;
    /** The names of the certificates above (ZAP user ids). */
    std::set<std::string> engineNames;
    /** Certificate name to the cameras it may publish for (named certificates only). */
    std::map<std::string, std::set<std::string>> cameraRestrictions;

    /**
     * Whether peers are restricted at all (an allow-list or CurveZMQ). Only then are the
     * connection caps enforced: without any ingress setting every peer is admitted as before.
     */
    [[nodiscard]] bool restricted() const { return curve || !allowedAddresses.empty(); }

    /** What the service socket's listeners are made with: a change needs a new bind. */
    [[nodiscard]] bool sameListeners(const IngressPolicy& other) const
    {
        return serviceAddress == other.serviceAddress && curve == other.curve
            && failClosedReason == other.failClosedReason
            && serverKey.secretKey == other.serverKey.secretKey;
    }
};

/** The engine settings that make a policy (empty texts: the defaults). */
struct IngressSettings
{
    std::string serviceAddress;
    std::string allowedEngineAddresses;
    std::string curveSecretKeyFile;
    std::string authorizedEnginesDirectory;
};

struct IngressPolicyResult
{
    std::shared_ptr<const IngressPolicy> policy;
    struct Refusal
    {
        std::string value; //< As given.
        std::string expected; //< What it must be, and why it is not, for the operator.
    };
    /** Setting name to its refusal (the previous value is kept). */
    std::map<std::string, Refusal> refused;
    /** Lines worth a log line that refuse nothing (a certificate file skipped). */
    std::vector<std::string> notes;
};

/**
 * Checks the settings; a refused setting keeps its value from `previous`. The files are read
 * here, so a directory's changes are seen on every delivery.
 */
[[nodiscard]] IngressPolicyResult makeIngressPolicy(
    const IngressSettings& settings, const IngressPolicy& previous);

/**
 * Whether a message from `userId` may reach the camera it names, read from the envelope's
 * start (`{"src_uuid":"<id>"`), no parse. Anyone whose certificate has no "cameras" passes; a
 * user id absent from the policy (its certificate was revoked since its handshake) does not,
 * when CurveZMQ is on.
 */
[[nodiscard]] bool cameraAllowed(
    const IngressPolicy& policy, const char* userId, std::string_view message);

// The reasons given in "AI engine refused" events.
constexpr const char* kRefusedAddress = "address not allowed";
constexpr const char* kRefusedKey = "unknown key";
constexpr const char* kRefusedHandshake = "handshake failed";
constexpr const char* kRefusedCamera = "camera not authorised";
constexpr const char* kRefusedConnections = "too many connections";
/** A message over the service port's size limit; its connection is closed. */
constexpr const char* kRefusedTooLarge = "message too large";

} // namespace nx::vms_server_plugins::analytics::sample
