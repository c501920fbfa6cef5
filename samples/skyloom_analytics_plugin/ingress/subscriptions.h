// What the service port subscribes to: everything (the empty prefix, the default), or only the
// envelope prefixes of this server's cameras, so that an AI engine's PUB socket, which filters on
// its own side by its subscribers' subscriptions, sends each server only its cameras' messages.
// The relay names what it wants as a whole set; each ingress moves its socket there by single
// changes (the receiver process gets them over its channel and holds them to the bounds below).
//
// Plain values and functions; any thread. A SubscriptionTable by one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zmq { class socket_t; }

namespace nx::vms_server_plugins::analytics::sample {

/** Subscription prefixes; the empty one is every message. */
using Subscriptions = std::set<std::string, std::less<>>;

struct SubscriptionChange
{
    bool subscribe = true; //< false: unsubscribe.
    std::string prefix;

    bool operator==(const SubscriptionChange& other) const
    {
        return subscribe == other.subscribe && prefix == other.prefix;
    }
};

struct SubscriptionLimits
{
    /** Far more cameras than one server records. */
    static constexpr size_t kMaxPrefixes = 4096;
    /** An envelope prefix is 50 bytes for the server's ids. */
    static constexpr size_t kMaxPrefixLength = 256;
};

/** What a service socket subscribes to until told otherwise: every message. */
[[nodiscard]] Subscriptions everything();

/**
 * The changes that take a socket from `from` to `to`, in an order that never filters out a
 * message that both want, and never holds more prefixes than the larger of the two: every
 * message first (if `to` wants it), then the prefixes no longer wanted go, then the new ones
 * come, then every message goes (if `to` does not want it).
 */
[[nodiscard]] std::vector<SubscriptionChange> subscriptionChanges(
    const Subscriptions& from, const Subscriptions& to);

/** Subscribes or unsubscribes the socket. Throws zmq::error_t. */
void applySubscription(zmq::socket_t& socket, const SubscriptionChange& change);

/**
 * The subscriptions a socket holds, as a peer that is not trusted with memory asks for them:
 * at most kMaxPrefixes prefixes besides the empty one, none longer than kMaxPrefixLength.
 */
class SubscriptionTable
{
public:
    enum class Refusal { none, tooLong, tooMany };

    /** Whether the change may go to the socket; a refused one changes nothing. */
    [[nodiscard]] Refusal take(const SubscriptionChange& change);

    [[nodiscard]] const Subscriptions& current() const { return m_current; }

    [[nodiscard]] static const char* refusalText(Refusal refusal);

private:
    Subscriptions m_current = everything();
};

} // namespace nx::vms_server_plugins::analytics::sample
