#include "ingress_policy.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/envelope_prefix.h"
#include "settings/settings_table.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

std::string trim(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

/** Reads a numeric address; an IPv4-mapped IPv6 address becomes the IPv4 one. */
std::optional<AddressRange> parseAddress(const std::string& text)
{
    AddressRange address;
    if (inet_pton(AF_INET, text.c_str(), address.bytes.data()) == 1)
    {
        address.prefixLength = 32;
        return address;
    }
    if (inet_pton(AF_INET6, text.c_str(), address.bytes.data()) != 1)
        return std::nullopt;
    static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(address.bytes.data(), kMapped, sizeof(kMapped)) == 0)
    {
        std::memmove(address.bytes.data(), address.bytes.data() + 12, 4);
        std::memset(address.bytes.data() + 4, 0, 12);
        address.prefixLength = 32;
        return address;
    }
    address.v6 = true;
    address.prefixLength = 128;
    return address;
}

bool inRange(const AddressRange& range, const AddressRange& address)
{
    if (range.v6 != address.v6)
        return false;
    const int fullBytes = range.prefixLength / 8;
    if (std::memcmp(range.bytes.data(), address.bytes.data(), static_cast<size_t>(fullBytes)) != 0)
        return false;
    const int restBits = range.prefixLength % 8;
    if (restBits == 0)
        return true;
    const auto mask = static_cast<uint8_t>(0xff << (8 - restBits));
    return (range.bytes[fullBytes] & mask) == (address.bytes[fullBytes] & mask);
}

} // namespace

std::optional<std::vector<AddressRange>> parseAddressRanges(
    const std::string& text, std::string* badItem)
{
    std::vector<AddressRange> ranges;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ','))
    {
        item = trim(item);
        if (item.empty())
            continue;
        const size_t slash = item.find('/');
        std::optional<AddressRange> range = parseAddress(item.substr(0, slash));
        if (range && slash != std::string::npos)
        {
            const std::string length = item.substr(slash + 1);
            char* end = nullptr;
            const long value = std::strtol(length.c_str(), &end, 10);
            const bool mapped = !range->v6 && item.find(':') != std::string::npos;
            // "::ffff:10.0.0.0/104" is 10.0.0.0/8.
            const long bits = mapped ? value - 96 : value;
            if (length.empty() || *end != '\0' || bits < 0 || bits > (range->v6 ? 128 : 32))
                range.reset();
            else
                range->prefixLength = static_cast<int>(bits);
        }
        if (!range)
        {
            *badItem = item;
            return std::nullopt;
        }
        ranges.push_back(*range);
    }
    return ranges;
}

bool addressInRanges(const std::vector<AddressRange>& ranges, const std::string& address)
{
    const std::optional<AddressRange> parsed = parseAddress(address);
    if (!parsed)
        return false;
    for (const AddressRange& range: ranges)
    {
        if (inRange(range, *parsed))
            return true;
    }
    return false;
}

bool isValidServiceAddress(const std::string& address)
{
    if (address == "*" || parseAddress(address))
        return true;
    return !address.empty() && address.size() < IF_NAMESIZE && if_nametoindex(address.c_str()) != 0;
}

std::string serviceEndpoint(const std::string& address, int port)
{
    const bool v6 = address.find(':') != std::string::npos;
    return "tcp://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

IngressPolicyResult makeIngressPolicy(
    const IngressSettings& settings, const IngressPolicy& previous)
{
    IngressPolicyResult result;
    auto policy = std::make_shared<IngressPolicy>();

    const std::string address = trim(settings.serviceAddress);
    policy->serviceAddress = address.empty() ? "*" : address;
    if (!isValidServiceAddress(policy->serviceAddress))
    {
        result.refused[setting::kServiceAddress.name] = {settings.serviceAddress,
            "\"*\", an IP address or a network interface of this machine"};
        policy->serviceAddress = previous.serviceAddress;
    }

    std::string badItem;
    if (auto ranges = parseAddressRanges(settings.allowedEngineAddresses, &badItem))
    {
        policy->allowedAddresses = std::move(*ranges);
    }
    else
    {
        result.refused[setting::kAllowedEngineAddresses.name] = {settings.allowedEngineAddresses,
            "IP addresses and CIDR ranges, comma-separated (\"" + badItem + "\" is neither)"};
        policy->allowedAddresses = previous.allowedAddresses;
    }

    const std::string keyFile = trim(settings.curveSecretKeyFile);
    const std::string directory = trim(settings.authorizedEnginesDirectory);
    if (keyFile.empty())
    {
        if (!directory.empty())
        {
            result.refused[setting::kAuthorizedEnginesDirectory.name] = {
                settings.authorizedEnginesDirectory, std::string("empty while ")
                    + setting::kCurveSecretKeyFile.name + " is empty (it would have no effect)"};
        }
        result.policy = std::move(policy);
        return result;
    }

    // Encryption is asked for: from here on, what cannot be loaded closes the port.
    policy->curve = true;
    std::string error;
    if (auto key = readSecretCertificate(keyFile, &error))
    {
        policy->serverKey = std::move(*key);
    }
    else
    {
        result.refused[setting::kCurveSecretKeyFile.name] = {settings.curveSecretKeyFile,
            "a readable CurveZMQ secret certificate (" + error + ")"};
        policy->failClosedReason = "cannot load the secret key: " + error;
    }

    if (directory.empty())
    {
        // Nobody is authorised: every handshake is refused, which the operator should hear of.
        result.notes.push_back(std::string(setting::kAuthorizedEnginesDirectory.name)
            + " is empty: no AI engine can connect");
    }
    else if (auto certificates = readCertificateDirectory(directory, &error))
    {
        for (PublicCertificate& certificate: certificates->certificates)
        {
            if (certificate.cameras)
                policy->cameraRestrictions[certificate.name] = *certificate.cameras;
            policy->engineNames.insert(certificate.name);
            const std::string key = certificate.publicKey;
            policy->engines.emplace(key, std::move(certificate));
        }
        // One line however many: a directory shared with other files must not write a line
        // for each of them at every delivery of the settings.
        if (certificates->skipped == 1)
        {
            result.notes.push_back("certificate skipped: " + certificates->firstSkipped);
        }
        else if (certificates->skipped > 1)
        {
            result.notes.push_back("certificates skipped: "
                + std::to_string(certificates->skipped) + " files that are no public certificate,"
                " the first " + certificates->firstSkipped);
        }
    }
    else
    {
        result.refused[setting::kAuthorizedEnginesDirectory.name] = {
            settings.authorizedEnginesDirectory,
            "a readable directory of public certificates (" + error + ")"};
        if (!policy->failClosedReason)
            policy->failClosedReason = "cannot read the authorised engines: " + error;
    }
    result.policy = std::move(policy);
    return result;
}

bool cameraAllowed(const IngressPolicy& policy, const char* userId, std::string_view message)
{
    if (!policy.curve)
        return true;
    if (userId == nullptr)
        return false;
    const std::string name(userId);
    if (policy.engineNames.count(name) == 0)
        return false;
    const auto restriction = policy.cameraRestrictions.find(name);
    if (restriction == policy.cameraRestrictions.end())
        return true;
    const std::optional<std::string_view> cameraId = envelopeCameraId(message);
    return cameraId && restriction->second.count(std::string(*cameraId)) > 0;
}

} // namespace nx::vms_server_plugins::analytics::sample
