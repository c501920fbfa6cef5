#include "drop_report.h"

#include <utility>

#include "common/server_text.h"

namespace nx::vms_server_plugins::analytics::sample {

DropReport::DropReport(std::shared_ptr<CameraCounters> counters, NowSource now):
    m_counters(counters ? std::move(counters) : std::make_shared<CameraCounters>()),
    m_now(nowOrClock(std::move(now))),
    // The camera's counters outlive its agents: an agent made anew tells only its own drops.
    m_told(m_counters->drops()),
    m_toldCuts(m_counters->cuts())
{
}

void DropReport::drop(DropReason reason, uint64_t count, std::string_view detail) noexcept
{
    m_counters->drop(reason, count);
    if (!m_firstReason)
    {
        m_firstIsCut = false;
        keepFirst(reason, detail);
    }
}

void DropReport::cut(DropReason reason, uint64_t count, std::string_view detail) noexcept
{
    m_counters->cut(reason, count);
    if (!m_firstReason)
    {
        m_firstIsCut = true;
        keepFirst(reason, detail);
    }
}

void DropReport::keepFirst(DropReason reason, std::string_view detail) noexcept
{
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
    const DropCounts cutCounts = m_counters->cuts();
    DropCounts news{};
    DropCounts cutNews{};
    uint64_t total = 0;
    uint64_t cutTotal = 0;
    for (size_t i = 0; i < kDropReasonCount; ++i)
    {
        news[i] = counts[i] - m_told[i];
        total += news[i];
        cutNews[i] = cutCounts[i] - m_toldCuts[i];
        cutTotal += cutNews[i];
    }
    if (total == 0 && cutTotal == 0)
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
    if (total == 0 && cutTotal == 0)
        return std::nullopt;

    const std::string since = m_anyEvent ? "since the last report" : "since the start";
    std::string text;
    if (total > 0)
        text = std::to_string(total) + " dropped " + since + ":" + tell(news, m_told);
    if (cutTotal > 0)
    {
        text += text.empty() ? std::to_string(cutTotal) + " cut " + since + ":"
            : "; " + std::to_string(cutTotal) + " cut:";
        text += tell(cutNews, m_toldCuts);
    }
    const DropCounts& firstNews = m_firstIsCut ? cutNews : news;
    if (m_firstReason && firstNews[static_cast<size_t>(*m_firstReason)] > 0)
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

std::string DropReport::tell(const DropCounts& news, DropCounts& told)
{
    std::string text;
    const char* separator = " ";
    for (size_t i = 0; i < kDropReasonCount; ++i)
    {
        if (news[i] == 0)
            continue;
        text += separator;
        text += kDropReasons[i].text;
        text += " " + std::to_string(news[i]);
        separator = ", ";
        told[i] += news[i];
    }
    return text;
}

} // namespace nx::vms_server_plugins::analytics::sample
