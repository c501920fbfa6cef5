#include "listener_config.h"

#include <exception>

#include <nlohmann/json.hpp>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::string toHex(std::string_view bytes)
{
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c: bytes)
    {
        hex.push_back(kHexDigits[(static_cast<uint8_t>(c) >> 4) & 0xF]);
        hex.push_back(kHexDigits[static_cast<uint8_t>(c) & 0xF]);
    }
    return hex;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    throw std::invalid_argument("not a hexadecimal digit");
}

std::string fromHex(const std::string& hex)
{
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd hexadecimal length");
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(hexValue(hex[i]) * 16 + hexValue(hex[i + 1])));
    return bytes;
}

} // namespace

std::string encodeListenerConfig(int port, int workingPort, const IngressPolicy& policy)
{
    nlohmann::json ranges = nlohmann::json::array();
    for (const AddressRange& range: policy.allowedAddresses)
    {
        ranges.push_back({{"v6", range.v6},
            {"bytes", toHex(std::string_view(
                reinterpret_cast<const char*>(range.bytes.data()), range.bytes.size()))},
            {"prefix", range.prefixLength}});
    }
    nlohmann::json engines = nlohmann::json::array();
    for (const auto& [key, certificate]: policy.engines)
        engines.push_back({{"key", toHex(key)}, {"name", certificate.name}});
    const nlohmann::json config = {
        {"port", port},
        {"workingPort", workingPort},
        {"address", policy.serviceAddress},
        {"allowed", ranges},
        {"curve", policy.curve},
        {"failClosed", policy.failClosedReason
            ? nlohmann::json(*policy.failClosedReason) : nlohmann::json()},
        {"serverPublic", toHex(policy.serverKey.publicKey)},
        {"serverSecret", toHex(policy.serverKey.secretKey)},
        {"engines", engines},
    };
    return config.dump();
}

std::optional<ListenerConfig> decodeListenerConfig(std::string_view text, std::string* error)
{
    try
    {
        const nlohmann::json config = nlohmann::json::parse(text);
        auto policy = std::make_shared<IngressPolicy>();
        policy->serviceAddress = config.at("address").get<std::string>();
        for (const nlohmann::json& item: config.at("allowed"))
        {
            AddressRange range;
            range.v6 = item.at("v6").get<bool>();
            const std::string bytes = fromHex(item.at("bytes").get<std::string>());
            if (bytes.size() != range.bytes.size())
                throw std::invalid_argument("address range of a wrong size");
            std::copy(bytes.begin(), bytes.end(), range.bytes.begin());
            range.prefixLength = item.at("prefix").get<int>();
            policy->allowedAddresses.push_back(range);
        }
        policy->curve = config.at("curve").get<bool>();
        if (!config.at("failClosed").is_null())
            policy->failClosedReason = config.at("failClosed").get<std::string>();
        policy->serverKey.publicKey = fromHex(config.at("serverPublic").get<std::string>());
        policy->serverKey.secretKey = fromHex(config.at("serverSecret").get<std::string>());
        for (const nlohmann::json& item: config.at("engines"))
        {
            PublicCertificate certificate;
            certificate.publicKey = fromHex(item.at("key").get<std::string>());
            certificate.name = item.at("name").get<std::string>();
            policy->engineNames.insert(certificate.name);
            policy->engines.emplace(certificate.publicKey, std::move(certificate));
        }
        ListenerConfig result;
        result.port = config.at("port").get<int>();
        result.workingPort = config.at("workingPort").get<int>();
        result.policy = std::move(policy);
        return result;
    }
    catch (const std::exception& e)
    {
        if (error)
            *error = e.what();
        return std::nullopt;
    }
}

} // namespace nx::vms_server_plugins::analytics::sample
