#include "queue_budget.h"

#include <iterator>
#include <utility>

namespace nx::vms_server_plugins::analytics::sample {

QueueBudget::Account::Account(std::shared_ptr<std::atomic<int64_t>> engineBytes):
    m_engineBytes(std::move(engineBytes))
{
}

QueueBudget::Account::~Account()
{
    m_engineBytes->fetch_sub(m_bytes.load());
}

bool QueueBudget::Account::charge(int64_t bytes)
{
    // Only the relay thread charges, so the checks and the additions cannot race each other;
    // refunds in between only make room.
    if (m_bytes.load() + bytes > kCameraBytes || m_engineBytes->load() + bytes > kEngineBytes)
        return false;
    m_bytes.fetch_add(bytes);
    m_engineBytes->fetch_add(bytes);
    return true;
}

void QueueBudget::Account::refund(int64_t bytes)
{
    int64_t current = m_bytes.load();
    int64_t taken = 0;
    do
        taken = current < bytes ? current : bytes;
    while (!m_bytes.compare_exchange_weak(current, current - taken));
    m_engineBytes->fetch_sub(taken);
}

std::shared_ptr<QueueBudget::Account> QueueBudget::account(const std::string& prefix)
{
    const MutexLock lock(m_mutex);
    std::weak_ptr<Account>& slot = m_accounts[prefix];
    std::shared_ptr<Account> account = slot.lock();
    if (!account)
    {
        account = std::make_shared<Account>(m_engineBytes);
        slot = account;
    }
    // Entries of accounts gone with their cameras go too, so the map does not grow with every
    // camera ever seen.
    for (auto it = m_accounts.begin(); it != m_accounts.end();)
        it = it->second.expired() ? m_accounts.erase(it) : std::next(it);
    return account;
}

int64_t QueueBudget::bytes(const std::string& prefix) const
{
    const MutexLock lock(m_mutex);
    const auto found = m_accounts.find(prefix);
    if (found == m_accounts.end())
        return 0;
    const std::shared_ptr<Account> account = found->second.lock();
    return account ? account->bytes() : 0;
}

} // namespace nx::vms_server_plugins::analytics::sample
