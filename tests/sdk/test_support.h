// Shared fixtures of the SDK tests. One CountingRegistry is installed into libContext() for the
// whole test binary; SdkTest checks that each test leaves as many live objects as it found.
// LogCapture redirects the library's log stream so that failed-check reports can be read.
// All of it is used from the test's main thread only (the registry locks anyway).
#pragma once

#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <nx/sdk/i_lib_context.h>
#include <nx/sdk/i_ref_countable.h>

namespace nx::sdk::test {

class CountingRegistry: public IRefCountableRegistry
{
public:
    virtual void notifyCreated(IRefCountable* object, int32_t refCount) override;
    virtual void notifyDestroyed(IRefCountable* object, int32_t refCount) override;

    int liveCount() const;
    bool isLive(const IRefCountable* object) const;
    int createdCount() const;
    int destroyedCount() const;
    /** Objects reported destroyed that were never reported created, or twice. */
    int unknownDestroyedCount() const;
    const IRefCountable* lastDestroyed() const;
    int32_t lastDestroyedRefCount() const;
    /** Counts passed to notifyCreated() other than 1. */
    int badCreatedRefCounts() const;

private:
    mutable std::mutex m_mutex;
    std::map<const IRefCountable*, int> m_live;
    int m_created = 0;
    int m_destroyed = 0;
    int m_unknownDestroyed = 0;
    int m_badCreatedRefCounts = 0;
    const IRefCountable* m_lastDestroyed = nullptr;
    int32_t m_lastDestroyedRefCount = -1;
};

/** The registry held by libContext() in this test binary. */
CountingRegistry& registry();

/** Every test of the SDK layer: no object may outlive the test that created it. */
class SdkTest: public ::testing::Test
{
protected:
    virtual void SetUp() override;
    virtual void TearDown() override;

private:
    int m_liveAtStart = 0;
};

/** Collects everything printed while it exists. */
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return m_stream.str(); }
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
    int count(const std::string& part) const;

private:
    std::ostringstream m_stream;
    std::ostream* m_savedStream = nullptr;
};

/** The object's reference count, read through addRef()/releaseRef() only. */
int32_t refCountOf(const IRefCountable* object);

} // namespace nx::sdk::test
