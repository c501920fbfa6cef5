// Lock annotations that clang's -Wthread-safety checks (GUARDED_BY, REQUIRES, ...), and a mutex
// that carries them: libstdc++'s std::mutex is not annotated, so a member guarded by one could
// be read unlocked without a word from the compiler. Other compilers see plain macros.
#pragma once

#include <mutex>

#if defined(__clang__)
    #define SKYLOOM_THREAD_ANNOTATION(x) __attribute__((x))
#else
    #define SKYLOOM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) SKYLOOM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY SKYLOOM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) SKYLOOM_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) SKYLOOM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) SKYLOOM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) SKYLOOM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) SKYLOOM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace nx::vms_server_plugins::analytics::sample {

/** std::mutex as the thread-safety analysis sees it. */
class CAPABILITY("mutex") Mutex
{
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

/** Holds a Mutex for its scope. */
class SCOPED_CAPABILITY MutexLock
{
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex): m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() RELEASE() { m_mutex.unlock(); }

    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};

} // namespace nx::vms_server_plugins::analytics::sample
