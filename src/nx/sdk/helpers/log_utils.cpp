#include "log_utils.h"

#include <algorithm>
#include <utility>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->enableOutput)

namespace nx::sdk {

using nx::kit::utils::quotedLiteral;

LogUtils::LogUtils(bool enableOutput, std::string printPrefix):
    enableOutput(enableOutput),
    m_printPrefix(std::move(printPrefix))
{
}

std::string LogUtils::printPrefix() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_printPrefix;
}

void LogUtils::setPrintPrefix(std::string printPrefix)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_printPrefix = std::move(printPrefix);
}

bool LogUtils::convertAndOutputStringMap(
    std::map<std::string, std::string>* outMap,
    const IStringMap* map,
    const std::string& caption,
    int outputIndent) const
{
    if (!map)
    {
        NX_PRINT << "ERROR: stringMap is null";
        return false;
    }

    const int32_t count = map->count();
    if (count < 0)
    {
        NX_PRINT << "ERROR: " << caption << ": count is " << count;
        return false;
    }

    const std::string indent(static_cast<size_t>(std::max(outputIndent, 0)), ' ');
    if (!caption.empty())
    {
        NX_OUTPUT << indent << caption << ":";
    }
    NX_OUTPUT << indent << "{";
    for (int32_t i = 0; i < count; ++i)
    {
        NX_OUTPUT << indent << "    "
            << quotedLiteral(map->key(i)) << ": " << quotedLiteral(map->value(i))
            << (i < count - 1 ? "," : "");
    }
    NX_OUTPUT << indent << "}";

    for (int32_t i = 0; i < count; ++i)
    {
        // The server's map answers null only for a bad index; such an item cannot be stored.
        const char* const key = map->key(i);
        if (!key)
            continue;
        const char* const value = map->value(i);
        (*outMap)[key] = value ? value : "";
    }
    return true;
}

void LogUtils::logBoundaryException(const char* functionName, const char* what) const
{
    NX_PRINT << functionName << "(): INTERNAL ERROR: exception: " << what;
}

} // namespace nx::sdk
