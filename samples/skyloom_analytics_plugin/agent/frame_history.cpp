#include "frame_history.h"

namespace nx::vms_server_plugins::analytics::sample {

void FrameHistory::add(int64_t frameUs) noexcept
{
    const uint64_t number = m_count.load(std::memory_order_relaxed); //< Only this thread writes.
    Slot& slot = m_slots[number % kCapacity];
    const uint64_t written = 2 * (number + 1);
    slot.sequence.store(written - 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    slot.frameUs.store(frameUs, std::memory_order_relaxed);
    slot.sequence.store(written, std::memory_order_release);
    m_count.store(number + 1, std::memory_order_release);
}

std::optional<int64_t> FrameHistory::read(uint64_t number) const noexcept
{
    const Slot& slot = m_slots[number % kCapacity];
    const uint64_t expected = 2 * (number + 1);
    const uint64_t before = slot.sequence.load(std::memory_order_acquire);
    const int64_t frameUs = slot.frameUs.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    const uint64_t after = slot.sequence.load(std::memory_order_relaxed);
    if (before != expected || after != expected)
        return std::nullopt;
    return frameUs;
}

std::optional<int64_t> FrameHistory::newest() const noexcept
{
    const uint64_t count = m_count.load(std::memory_order_acquire);
    // The writer may have moved on, even around the ring: then the newest is newer still, and
    // the caller's next look finds it.
    for (uint64_t number = count; number > 0 && count - number < kCapacity; --number)
    {
        if (const std::optional<int64_t> frameUs = read(number - 1))
            return frameUs;
    }
    return std::nullopt;
}

template<typename Visit>
std::optional<FrameHistory::Span> FrameHistory::scan(Visit visit) const noexcept
{
    const uint64_t count = m_count.load(std::memory_order_acquire);
    if (count == 0)
        return std::nullopt;
    const std::optional<int64_t> newest = read(count - 1);
    if (!newest)
        return std::nullopt; //< Only if the writer lapped the ring meanwhile.
    const int64_t spanUs = std::chrono::duration_cast<std::chrono::microseconds>(kSpan).count();
    Span span{*newest, *newest, 0};
    int64_t later = *newest;
    for (uint64_t number = count; number > 0 && count - number < kCapacity; --number)
    {
        const std::optional<int64_t> frameUs = read(number - 1);
        // Overwritten (and so is every older slot), later than the frame after it, or too old.
        if (!frameUs || *frameUs > later
            || static_cast<uint64_t>(*newest) - static_cast<uint64_t>(*frameUs)
                > static_cast<uint64_t>(spanUs))
            break;
        later = *frameUs;
        span.oldestUs = *frameUs;
        ++span.frames;
        visit(*frameUs);
    }
    return span;
}

std::optional<FrameHistory::Span> FrameHistory::span() const noexcept
{
    return scan([](int64_t) {});
}

std::optional<FrameHistory::Match> FrameHistory::nearest(int64_t us) const noexcept
{
    std::optional<int64_t> best;
    uint64_t bestDistance = 0;
    const std::optional<Span> span = scan(
        [&](int64_t frameUs)
        {
            // Unsigned: the distance between any two 64-bit times fits.
            const uint64_t distance = frameUs > us
                ? static_cast<uint64_t>(frameUs) - static_cast<uint64_t>(us)
                : static_cast<uint64_t>(us) - static_cast<uint64_t>(frameUs);
            if (!best || distance <= bestDistance) //< Newest first: ties go to the earlier.
            {
                best = frameUs;
                bestDistance = distance;
            }
        });
    if (!span || !best)
        return std::nullopt;
    return Match{*best, *span};
}

} // namespace nx::vms_server_plugins::analytics::sample
