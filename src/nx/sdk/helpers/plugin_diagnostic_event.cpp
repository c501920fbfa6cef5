#include "plugin_diagnostic_event.h"

#include <utility>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>

namespace nx::sdk {

using nx::kit::utils::quotedLiteral;

PluginDiagnosticEvent::PluginDiagnosticEvent(
    Level level, std::string caption, std::string description)
    :
    m_level(level),
    m_caption(std::move(caption)),
    m_description(std::move(description))
{
}

IPluginDiagnosticEvent::Level PluginDiagnosticEvent::level() const
{
    return m_level;
}

const char* PluginDiagnosticEvent::caption() const
{
    return m_caption.c_str();
}

const char* PluginDiagnosticEvent::description() const
{
    return m_description.c_str();
}

void PluginDiagnosticEvent::setLevel(Level level)
{
    m_level = level;
}

void PluginDiagnosticEvent::setCaption(std::string caption)
{
    m_caption = std::move(caption);
}

void PluginDiagnosticEvent::setDescription(std::string description)
{
    m_description = std::move(description);
}

std::string PluginDiagnosticEvent::toString() const
{
    static const std::string kIndent(4, ' ');
    return "{\n"
        + kIndent + "\"level\": " + quotedLiteral(levelToString(m_level)) + ",\n"
        + kIndent + "\"caption\": " + quotedLiteral(m_caption) + ",\n"
        + kIndent + "\"description\": " + quotedLiteral(m_description) + "\n"
        + "}";
}

std::string levelToString(IPluginDiagnosticEvent::Level level)
{
    switch (level)
    {
        case IPluginDiagnosticEvent::Level::info: return "info";
        case IPluginDiagnosticEvent::Level::warning: return "warning";
        case IPluginDiagnosticEvent::Level::error: return "error";
    }
    NX_KIT_ASSERT(false, "");
    return nx::kit::utils::formatText("unknown(%d)", static_cast<int>(level));
}

} // namespace nx::sdk
