#include "test_support.h"

#include <nx/kit/debug.h>
#include <nx/sdk/helpers/lib_context.h>

namespace nx::sdk::test {

void CountingRegistry::notifyCreated(IRefCountable* object, int32_t refCount)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ++m_live[object];
    ++m_created;
    if (refCount != 1)
        ++m_badCreatedRefCounts;
}

void CountingRegistry::notifyDestroyed(IRefCountable* object, int32_t refCount)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ++m_destroyed;
    m_lastDestroyed = object;
    m_lastDestroyedRefCount = refCount;
    const auto it = m_live.find(object);
    if (it == m_live.end())
    {
        ++m_unknownDestroyed;
        return;
    }
    if (--it->second == 0)
        m_live.erase(it);
}

int CountingRegistry::liveCount() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    int result = 0;
    for (const auto& [object, count]: m_live)
        result += count;
    return result;
}

bool CountingRegistry::isLive(const IRefCountable* object) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_live.count(object) > 0;
}

int CountingRegistry::createdCount() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_created;
}

int CountingRegistry::destroyedCount() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_destroyed;
}

int CountingRegistry::unknownDestroyedCount() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_unknownDestroyed;
}

const IRefCountable* CountingRegistry::lastDestroyed() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastDestroyed;
}

int32_t CountingRegistry::lastDestroyedRefCount() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastDestroyedRefCount;
}

int CountingRegistry::badCreatedRefCounts() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_badCreatedRefCounts;
}

namespace {

CountingRegistry* installRegistry()
{
    // Owned by the library context from here on, as the server's registry would be.
    auto* const registry = new CountingRegistry();
    libContext().setRefCountableRegistry(registry);
    return registry;
}

} // namespace

CountingRegistry& registry()
{
    static CountingRegistry* const instance = installRegistry();
    return *instance;
}

void SdkTest::SetUp()
{
    m_liveAtStart = registry().liveCount();
}

void SdkTest::TearDown()
{
    EXPECT_EQ(m_liveAtStart, registry().liveCount()) << "objects leaked or over-released";
    EXPECT_EQ(0, registry().unknownDestroyedCount());
    EXPECT_EQ(0, registry().badCreatedRefCounts());
}

LogCapture::LogCapture()
{
    std::ostream*& stream = nx::kit::debug::debugStream();
    m_savedStream = stream;
    stream = &m_stream;
}

LogCapture::~LogCapture()
{
    nx::kit::debug::debugStream() = m_savedStream;
}

int LogCapture::count(const std::string& part) const
{
    const std::string all = text();
    int result = 0;
    for (size_t pos = all.find(part); pos != std::string::npos; pos = all.find(part, pos + 1))
        ++result;
    return result;
}

int32_t refCountOf(const IRefCountable* object)
{
    object->addRef();
    return object->releaseRef();
}

} // namespace nx::sdk::test
