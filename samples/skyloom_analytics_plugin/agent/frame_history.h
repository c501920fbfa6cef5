// The times of one camera's latest video frames, so that a packet can carry the time of the
// frame that the AI engine analysed instead of the latest one. The kept frames are the run of
// the latest ones (at most kCapacity) that are not later than the newest and at most kSpan older
// than it: a timeline that jumps back (a stream restarted) starts the history afresh.
//
// Threads: one writer (the server thread that delivers the camera's frames) and one reader (the
// camera's receive thread), without a lock. The writer's path is four relaxed or release stores:
// the frames must never wait for a message. The ring is a ring of per-slot seqlocks: each slot
// holds the frame's time and a sequence number that tells which frame it is (odd while the
// writer is in the middle of it); a reader keeps a slot only if it read the same sequence, of the
// frame it expected, before and after the time, so a slot that the writer overtook is left out.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace nx::vms_server_plugins::analytics::sample {

class FrameHistory
{
public:
    /** 10 s at up to 100 frames a second; a faster camera keeps the latest 2048 frames. */
    static constexpr size_t kCapacity = 2048;
    static constexpr std::chrono::seconds kSpan{10};

    /** The kept frames: first and last time and how many. */
    struct Span
    {
        int64_t oldestUs = 0;
        int64_t newestUs = 0;
        size_t frames = 0;

        /** The mean interval between the kept frames; 0 with fewer than two. */
        [[nodiscard]] int64_t frameIntervalUs() const
        {
            return frames < 2 ? 0 : (newestUs - oldestUs) / static_cast<int64_t>(frames - 1);
        }
    };

    struct Match
    {
        int64_t frameUs = 0; //< The kept frame nearest to the time looked for.
        Span span;
    };

    /** Writer: a frame with this time (its own, uncorrected) arrived. */
    void add(int64_t frameUs) noexcept;

    /** The newest frame's time; nothing before the first frame. Any thread. */
    [[nodiscard]] std::optional<int64_t> newest() const noexcept;

    /** Reader: the kept frames; nothing before the first frame. */
    [[nodiscard]] std::optional<Span> span() const noexcept;

    /** Reader: the kept frame nearest to `us` (the earlier one of two as near); nothing before
     * the first frame. */
    [[nodiscard]] std::optional<Match> nearest(int64_t us) const noexcept;

private:
    struct Slot
    {
        /** 2 × (frame number + 1) once written; odd while being written. */
        std::atomic<uint64_t> sequence{0};
        std::atomic<int64_t> frameUs{0};
    };

    /** Frame `number`'s time, if its slot still holds it. */
    [[nodiscard]] std::optional<int64_t> read(uint64_t number) const noexcept;
    /** Calls visit(frameUs) for each kept frame, newest first; returns the span. */
    template<typename Visit>
    std::optional<Span> scan(Visit visit) const noexcept;

    std::array<Slot, kCapacity> m_slots{};
    /** Frames added so far: written by the writer (release), read by the reader (acquire). */
    std::atomic<uint64_t> m_count{0};
};

} // namespace nx::vms_server_plugins::analytics::sample
