#include "camera_queues.h"

#include <utility>

#include "common/envelope_prefix.h"

namespace nx::vms_server_plugins::analytics::sample {

void CameraQueues::subscribe(const std::string& prefix,
    std::shared_ptr<QueueBudget::Account> account, std::shared_ptr<CameraCounters> counters)
{
    const auto [it, inserted] = m_cameras.try_emplace(prefix);
    if (inserted && isUnusual(prefix))
        ++m_unusualPrefixes;
    Camera& camera = it->second;
    camera.id = cameraIdOf(prefix);
    camera.account = std::move(account);
    camera.counters = std::move(counters);
}

std::optional<CameraQueues::Report> CameraQueues::unsubscribe(const std::string& prefix)
{
    const auto it = m_cameras.find(prefix);
    if (it == m_cameras.end())
        return std::nullopt;
    Camera& camera = it->second;
    std::optional<Report> dropReport =
        report(camera, m_reports.takeLeftOut(&camera, Clock::now()));
    m_reports.forget(&camera);
    if (isUnusual(prefix))
        --m_unusualPrefixes;
    m_cameras.erase(it);
    return dropReport;
}

CameraQueues::Camera* CameraQueues::find(std::string_view message)
{
    // The usual form: the prefix ends at the quote that closes the id.
    if (const std::optional<std::string_view> id = envelopeCameraId(message))
    {
        const auto it = m_cameras.find(message.substr(0, kEnvelopeHead.size() + id->size() + 1));
        if (it != m_cameras.end())
            return &it->second;
    }
    // A prefix of another form (an id that holds a quote, from a server with unusual ids); only
    // then is every prefix compared, so that a flood for no camera costs one lookup each.
    if (m_unusualPrefixes == 0)
        return nullptr;
    for (auto& [prefix, camera]: m_cameras)
    {
        if (message.substr(0, prefix.size()) == prefix)
            return &camera;
    }
    return nullptr;
}

std::optional<CameraQueues::Report> CameraQueues::dropped(Camera& camera, Clock::time_point now)
{
    ++camera.total;
    if (camera.counters)
        camera.counters->drop(DropReason::queueFull);
    const auto verdict = m_reports.offer(&camera, now);
    if (!verdict.pass)
        return std::nullopt;
    return report(camera, verdict.leftOut + 1);
}

std::optional<CameraQueues::Report> CameraQueues::delivered(Camera& camera, Clock::time_point now)
{
    return report(camera, m_reports.passLeftOut(&camera, now));
}

std::vector<CameraQueues::Report> CameraQueues::takeAllReports()
{
    std::vector<Report> reports;
    for (auto& [prefix, camera]: m_cameras)
    {
        if (std::optional<Report> dropReport =
            report(camera, m_reports.takeLeftOut(&camera, Clock::now())))
        {
            reports.push_back(std::move(*dropReport));
        }
    }
    return reports;
}

std::vector<std::string> CameraQueues::cameraIds() const
{
    std::vector<std::string> ids;
    ids.reserve(m_cameras.size());
    for (const auto& [prefix, camera]: m_cameras)
        ids.push_back(camera.id);
    return ids;
}

std::vector<std::string> CameraQueues::prefixes() const
{
    std::vector<std::string> prefixes;
    prefixes.reserve(m_cameras.size());
    for (const auto& entry: m_cameras)
        prefixes.push_back(entry.first);
    return prefixes;
}

bool CameraQueues::isUnusual(std::string_view prefix)
{
    const std::optional<std::string_view> id = envelopeCameraId(prefix);
    return !id || kEnvelopeHead.size() + id->size() + 1 != prefix.size();
}

std::string CameraQueues::cameraIdOf(std::string_view prefix)
{
    if (prefix.substr(0, kEnvelopeHead.size()) == kEnvelopeHead)
        prefix.remove_prefix(kEnvelopeHead.size());
    if (!prefix.empty() && prefix.back() == '"')
        prefix.remove_suffix(1);
    return std::string(prefix);
}

std::optional<CameraQueues::Report> CameraQueues::report(const Camera& camera, uint64_t dropped)
{
    if (dropped == 0)
        return std::nullopt;
    return Report{camera.id, static_cast<int64_t>(dropped), camera.total};
}

} // namespace nx::vms_server_plugins::analytics::sample
