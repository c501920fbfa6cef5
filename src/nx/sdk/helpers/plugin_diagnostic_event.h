// A message for the server's operator: level, caption and description. Built by one thread and
// then only read; the interface getters' texts live as long as the object is unchanged.
#pragma once

#include <string>

#include <nx/sdk/i_plugin_diagnostic_event.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk {

class PluginDiagnosticEvent: public RefCountable<IPluginDiagnosticEvent>
{
public:
    PluginDiagnosticEvent(Level level, std::string caption, std::string description);

    virtual Level level() const override;
    virtual const char* caption() const override;
    virtual const char* description() const override;

    void setLevel(Level level);
    void setCaption(std::string caption);
    void setDescription(std::string description);

    /** Five-line JSON-like form for the log: "{", level, caption, description, "}". */
    std::string toString() const;

private:
    Level m_level;
    std::string m_caption;
    std::string m_description;
};

/** "info", "warning", "error"; any other value is reported and gives "unknown(<number>)". */
std::string levelToString(IPluginDiagnosticEvent::Level level);

} // namespace nx::sdk
