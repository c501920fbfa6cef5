#include "drop_report.h"

#include <utility>

#include "common/server_text.h"

namespace nx::vms_server_plugins::analytics::sample {

DropReport::DropReport(std::shared_ptr<CameraCounters> counters, NowSource now):
    m_counters(counters ? std::move(counters) : std::make_shared<CameraCounters>()),
    m_now(nowOrClock(std::move(now))),
    // The camera's counters outlive its agents: an agent made anew tells only its own drops.
    m_told(m_counters->drops())
{
}

void DropReport::drop(DropReason reason, uint64_t count, std::string_view detail) noexcept
{
    m_counters->drop(reason, count);
    if (m_firstReason)
        return;
    m_firstReason = reason;
    try
    {
        m_firstDetail = textForLog(detail, kMaxDetailBytes);
    }
    catch (...)
    {
        m_firstDetail.clear();
    }
}

void DropReport::messageArrived(bool videoSeen) noexcept
{
    if (videoSeen)
        m_firstMessageWithoutVideo.reset();
    else if (!m_firstMessageWithoutVideo)
        m_firstMessageWithoutVideo = m_now();
}

std::optional<std::string> DropReport::due(bool videoSeen)
{
    // Asked after every message: nothing new to tell is the usual answer, found without a clock.
    const DropCounts counts = m_counters->drops();
    DropCounts news{};
    uint64_t total = 0;
    for (size_t i = 0; i < kDropReasonCount; ++i)
    {
        news[i] = counts[i] - m_told[i];
        total += news[i];
    }
    if (total == 0)
        return std::nullopt;
    const auto now = m_now();
    if (!m_rate.wouldPass({}, now))
        return std::nullopt;
    constexpr auto kBeforeVideo = static_cast<size_t>(DropReason::beforeVideo);
    if (news[kBeforeVideo] > 0)
    {
        const bool longWithoutVideo = !videoSeen && m_firstMessageWithoutVideo
            && now - *m_firstMessageWithoutVideo >= kVideoGrace;
        if (videoSeen)
        {
            // The few of the start, before the first frame: counted, never told.
            m_told[kBeforeVideo] = counts[kBeforeVideo];
        }
        if (!longWithoutVideo)
        {
            total -= news[kBeforeVideo];
            news[kBeforeVideo] = 0;
        }
    }
    if (total == 0)
        return std::nullopt;

    std::string text = std::to_string(total) + " dropped since "
        + (m_anyEvent ? "the last report" : "the start") + ":";
    const char* separator = " ";
    for (size_t i = 0; i < kDropReasonCount; ++i)
    {
        if (news[i] == 0)
            continue;
        text += separator;
        text += kDropReasons[i].text;
        text += " " + std::to_string(news[i]);
        separator = ", ";
        m_told[i] += news[i];
    }
    if (m_firstReason && news[static_cast<size_t>(*m_firstReason)] > 0)
    {
        text += ". First: ";
        text += dropReasonInfo(*m_firstReason).text;
        if (!m_firstDetail.empty())
            text += " (" + m_firstDetail + ")";
    }
    m_firstReason.reset();
    m_firstDetail.clear();
    (void) m_rate.offer({}, now); //< Lets it through: wouldPass() said so.
    m_anyEvent = true;
    return text;
}

} // namespace nx::vms_server_plugins::analytics::sample
