// Bytes of messages on their way from the engine's relay to its cameras' receive threads.
// ZeroMQ bounds its queues by message count only: with messages of up to 4 MiB, the 200 that a
// slow camera may have queued (100 at the relay, 100 at the agent) would be 800 MiB. So the
// relay charges each message to its camera's account before handing it over and drops it
// instead when the camera's or the engine's budget would be exceeded; the camera's receive
// thread refunds the charge once it has taken the message off its socket.
//
// Threads: the relay thread charges, each receive thread refunds its own account; the amounts
// are atomics. Accounts are found by subscription prefix under one mutex, taken only when an
// agent starts receiving or the relay learns a subscription, never per message.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/thread_annotations.h"

namespace nx::vms_server_plugins::analytics::sample {

class QueueBudget
{
public:
    /** Most bytes queued for one camera. */
    static constexpr int64_t kCameraBytes = 32 * 1024 * 1024;
    /** Most bytes queued for all the cameras of one engine. */
    static constexpr int64_t kEngineBytes = 256 * 1024 * 1024;

    class Account
    {
    public:
        explicit Account(std::shared_ptr<std::atomic<int64_t>> engineBytes);
        /** What is still charged here leaves the engine's total with the account. */
        ~Account();
        Account(const Account&) = delete;
        Account& operator=(const Account&) = delete;

        /** Charges the bytes if both budgets allow them; false (nothing charged) otherwise. */
        [[nodiscard]] bool charge(int64_t bytes);
        /** Takes back up to `bytes` of what is charged (two agents of one camera both refund). */
        void refund(int64_t bytes);
        int64_t bytes() const { return m_bytes.load(std::memory_order_relaxed); }

    private:
        std::atomic<int64_t> m_bytes{0};
        const std::shared_ptr<std::atomic<int64_t>> m_engineBytes;
    };

    /** The account of the camera with this subscription prefix, shared by all who ask. */
    [[nodiscard]] std::shared_ptr<Account> account(const std::string& prefix) EXCLUDES(m_mutex);

    /** Bytes queued for the camera with this subscription prefix (0 without an account). */
    [[nodiscard]] int64_t bytes(const std::string& prefix) const EXCLUDES(m_mutex);

    /** Bytes queued for all cameras. */
    int64_t bytes() const { return m_engineBytes->load(std::memory_order_relaxed); }

private:
    const std::shared_ptr<std::atomic<int64_t>> m_engineBytes =
        std::make_shared<std::atomic<int64_t>>(0);
    /** Taken by account(): the receive threads as they start, the relay for a subscription. */
    mutable Mutex m_mutex;
    std::map<std::string, std::weak_ptr<Account>> m_accounts GUARDED_BY(m_mutex);
};

} // namespace nx::vms_server_plugins::analytics::sample
