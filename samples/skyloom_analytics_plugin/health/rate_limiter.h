// At most perWindow lines (or events) of a kind per window; the ones beyond are left out and
// counted, and the next one let through says how many there were, or a line of their own does
// (when something else makes the owner look, or when it ends). A kind's window opens with the
// first line let through after its previous window has ended: a kind quiet for a window starts
// afresh. Kinds are told apart by a key of the owner's choosing (an operation and its outcome, an
// address and a reason, a camera); an owner of a single kind uses SingleKind.
//
// At most maxKeys kinds are remembered, so that keys from the network (a spray of addresses)
// cannot grow the table without end: a full table forgets the kinds whose window has ended,
// together with what they left out, and a new kind that still finds it full is neither
// remembered nor let through.
//
// Threads: one thread at a time; an owner used by several threads holds it under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>

#include "common/clock.h"

namespace nx::vms_server_plugins::analytics::sample {

/** The key of a limiter that has one kind only. */
struct SingleKind
{
    bool operator<(const SingleKind&) const { return false; }
};

template<typename Key>
class RateLimiter
{
public:
    /** What becomes of one line. */
    struct Verdict
    {
        bool pass = false;
        /** If it passes: the lines of its kind left out since the previous one let through. */
        uint64_t leftOut = 0;
    };

    explicit RateLimiter(int perWindow, Clock::duration window,
        size_t maxKeys = std::numeric_limits<size_t>::max()):
        m_perWindow(perWindow), m_window(window), m_maxKeys(maxKeys)
    {
    }

    /**
     * One line of the kind at `now`: let through, or left out and counted. Throws only
     * std::bad_alloc, for a kind not yet remembered; the other operations never throw.
     */
    Verdict offer(const Key& key, Clock::time_point now)
    {
        if (m_kinds.size() >= m_maxKeys)
            forgetEndedWindows(now);
        const auto [it, inserted] = m_kinds.try_emplace(key);
        if (inserted && m_kinds.size() > m_maxKeys)
        {
            m_kinds.erase(it); //< Full of kinds in their window.
            return {};
        }
        Kind& kind = it->second;
        if (inserted || windowEnded(kind, now))
            openWindow(kind, now);
        if (kind.passed >= m_perWindow)
        {
            if (kind.leftOut++ == 0)
                ++m_kindsWithLeftOut;
            return {};
        }
        ++kind.passed;
        return {true, takeCount(kind)};
    }

    /** Whether offer() would let a line of the kind through at `now`; changes nothing. */
    [[nodiscard]] bool wouldPass(const Key& key, Clock::time_point now) const
    {
        const auto it = m_kinds.find(key);
        if (it == m_kinds.end())
        {
            if (m_kinds.size() < m_maxKeys)
                return true;
            for (const auto& entry: m_kinds)
            {
                if (windowEnded(entry.second, now))
                    return true;
            }
            return false;
        }
        return windowEnded(it->second, now) || it->second.passed < m_perWindow;
    }

    /**
     * The count of the kind's lines left out, if there are any and a line may pass at `now`: the
     * caller writes that line of their own, which counts as one let through. 0: nothing to write.
     */
    [[nodiscard]] uint64_t passLeftOut(const Key& key, Clock::time_point now)
    {
        const auto it = m_kinds.find(key);
        if (it == m_kinds.end() || it->second.leftOut == 0)
            return 0;
        Kind& kind = it->second;
        if (windowEnded(kind, now))
            openWindow(kind, now);
        else if (kind.passed >= m_perWindow)
            return 0;
        ++kind.passed;
        return takeCount(kind);
    }

    /**
     * The count of the kind's lines left out, for a line of their own at `now` whatever the rate
     * (the kind or the owner ends); the line opens a new window. 0: nothing to write.
     */
    [[nodiscard]] uint64_t takeLeftOut(const Key& key, Clock::time_point now)
    {
        const auto it = m_kinds.find(key);
        if (it == m_kinds.end() || it->second.leftOut == 0)
            return 0;
        Kind& kind = it->second;
        openWindow(kind, now);
        ++kind.passed;
        return takeCount(kind);
    }

    /** Calls `visit(key, count)` for each kind with lines left out, in key order. */
    template<typename Visit>
    void forEachLeftOut(Visit&& visit) const
    {
        for (const auto& [key, kind]: m_kinds)
        {
            if (kind.leftOut > 0)
                visit(key, kind.leftOut);
        }
    }

    /** The kind is gone (a camera unsubscribed): its state and what it left out with it. */
    void forget(const Key& key)
    {
        const auto it = m_kinds.find(key);
        if (it != m_kinds.end())
            erase(it);
    }

    /** Whether some kind has lines left out that no line has told yet. */
    [[nodiscard]] bool anyLeftOut() const { return m_kindsWithLeftOut > 0; }

private:
    struct Kind
    {
        Clock::time_point windowStart;
        int passed = 0; //< In the current window.
        uint64_t leftOut = 0; //< Since the last line let through.
    };
    using Kinds = std::map<Key, Kind>;

    bool windowEnded(const Kind& kind, Clock::time_point now) const
    {
        return now - kind.windowStart >= m_window;
    }

    static void openWindow(Kind& kind, Clock::time_point now)
    {
        kind.windowStart = now;
        kind.passed = 0;
    }

    uint64_t takeCount(Kind& kind)
    {
        const uint64_t leftOut = kind.leftOut;
        if (leftOut > 0)
            --m_kindsWithLeftOut;
        kind.leftOut = 0;
        return leftOut;
    }

    typename Kinds::iterator erase(typename Kinds::iterator it)
    {
        if (it->second.leftOut > 0)
            --m_kindsWithLeftOut;
        return m_kinds.erase(it);
    }

    void forgetEndedWindows(Clock::time_point now)
    {
        for (auto it = m_kinds.begin(); it != m_kinds.end();)
            it = windowEnded(it->second, now) ? erase(it) : std::next(it);
    }

    const int m_perWindow;
    const Clock::duration m_window;
    const size_t m_maxKeys;
    Kinds m_kinds;
    size_t m_kindsWithLeftOut = 0;
};

} // namespace nx::vms_server_plugins::analytics::sample
