#include "subscriptions.h"

#include <zmq.hpp>

namespace nx::vms_server_plugins::analytics::sample {

Subscriptions everything()
{
    return {std::string()};
}

std::vector<SubscriptionChange> subscriptionChanges(
    const Subscriptions& from, const Subscriptions& to)
{
    const bool allBefore = from.count("") > 0;
    const bool allAfter = to.count("") > 0;
    std::vector<SubscriptionChange> changes;
    if (allAfter && !allBefore)
        changes.push_back({true, ""});
    for (const std::string& prefix: from)
    {
        if (!prefix.empty() && to.count(prefix) == 0)
            changes.push_back({false, prefix});
    }
    for (const std::string& prefix: to)
    {
        if (!prefix.empty() && from.count(prefix) == 0)
            changes.push_back({true, prefix});
    }
    if (allBefore && !allAfter)
        changes.push_back({false, ""});
    return changes;
}

void applySubscription(zmq::socket_t& socket, const SubscriptionChange& change)
{
    if (change.subscribe)
        socket.set(zmq::sockopt::subscribe, change.prefix);
    else
        socket.set(zmq::sockopt::unsubscribe, change.prefix);
}

SubscriptionTable::Refusal SubscriptionTable::take(const SubscriptionChange& change)
{
    if (change.prefix.size() > SubscriptionLimits::kMaxPrefixLength)
        return Refusal::tooLong;
    if (!change.subscribe)
    {
        m_current.erase(change.prefix);
        return Refusal::none;
    }
    const size_t prefixes = m_current.size() - m_current.count("");
    if (!change.prefix.empty() && m_current.count(change.prefix) == 0
        && prefixes >= SubscriptionLimits::kMaxPrefixes)
    {
        return Refusal::tooMany;
    }
    m_current.insert(change.prefix);
    return Refusal::none;
}

const char* SubscriptionTable::refusalText(Refusal refusal)
{
    switch (refusal)
    {
        case Refusal::none: return "none";
        case Refusal::tooLong: return "prefix longer than the limit";
        case Refusal::tooMany: return "more prefixes than the limit";
    }
    return "unknown";
}

} // namespace nx::vms_server_plugins::analytics::sample
