#include "camera_log.h"

#include <nx/kit/debug.h>

#include "common/server_text.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (m_logUtils.printPrefix())

namespace nx::vms_server_plugins::analytics::sample {

CameraLog::CameraLog(const nx::sdk::LogUtils& logUtils, NowSource now):
    m_now(nowOrClock(std::move(now))),
    m_logUtils(logUtils)
{
}

CameraLog::~CameraLog()
{
    m_rate.forEachLeftOut(
        [this](const Kind& kind, uint64_t leftOut)
        {
            try
            {
                NX_PRINT << kind.first << kind.second << "... (" << leftOut
                    << " such lines were not written)";
            }
            catch (...)
            {
            }
        });
}

void CameraLog::write(const char* operation, const char* what, std::string_view detail) noexcept
{
    try
    {
        const auto verdict = m_rate.offer({operation, what}, m_now());
        if (!verdict.pass)
        {
            ++m_linesLeftOut;
            return;
        }
        const std::string leftOut = verdict.leftOut == 0 ? std::string()
            : " (and " + std::to_string(verdict.leftOut) + " such lines not written before it)";
        NX_PRINT << operation << what << textForLog(detail) << leftOut;
    }
    catch (...)
    {
        // A line that cannot be written is lost; the caller goes on.
    }
}

} // namespace nx::vms_server_plugins::analytics::sample
