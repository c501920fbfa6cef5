#include "camera_log.h"

#include <nx/kit/debug.h>

#include "common/server_text.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (m_logUtils.printPrefix())

namespace nx::vms_server_plugins::analytics::sample {

CameraLog::CameraLog(const nx::sdk::LogUtils& logUtils, Clock clock):
    m_clock(clockOrSteady(std::move(clock))),
    m_logUtils(logUtils)
{
}

CameraLog::~CameraLog()
{
    for (const auto& [key, kind]: m_kinds)
    {
        if (kind.leftOut == 0)
            continue;
        try
        {
            NX_PRINT << key.first << key.second << "... (" << kind.leftOut
                << " such lines were not written)";
        }
        catch (...)
        {
        }
    }
}

void CameraLog::write(const char* operation, const char* what, std::string_view detail) noexcept
{
    try
    {
        if (m_observer)
            m_observer(operation, what, detail);
        const auto now = m_clock();
        Kind& kind = m_kinds[{operation, what}];
        if (kind.written == 0 || now - kind.windowStart >= kWindow)
        {
            kind.windowStart = now;
            kind.written = 0;
        }
        if (kind.written >= kLinesPerWindow)
        {
            ++kind.leftOut;
            ++m_linesLeftOut;
            return;
        }
        ++kind.written;
        const std::string leftOut = kind.leftOut == 0 ? std::string()
            : " (and " + std::to_string(kind.leftOut) + " such lines not written before it)";
        kind.leftOut = 0;
        NX_PRINT << operation << what << textForLog(detail) << leftOut;
    }
    catch (...)
    {
        // A line that cannot be written is lost; the caller goes on.
    }
}

} // namespace nx::vms_server_plugins::analytics::sample
