// The plugin's answer to new settings: setting values, per-setting errors and an optional
// settings model. Filled by one thread before it is handed over. Each interface getter returns
// the held object with a new reference for the caller (who releases it), or null.
#pragma once

#include <string>

#include <nx/sdk/helpers/string.h>
#include <nx/sdk/helpers/string_map.h>
#include <nx/sdk/i_settings_response.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk {

class SettingsResponse: public RefCountable<ISettingsResponse>
{
public:
    SettingsResponse(
        Ptr<StringMap> values = {}, Ptr<StringMap> errors = {}, Ptr<String> model = {});

    virtual const IStringMap* values() const override;
    virtual const IStringMap* errors() const override;
    virtual const IString* model() const override;

    /** Creates the values map on first use. */
    void setValue(const std::string& name, const std::string& value);

    /** Creates the errors map on first use. */
    void setError(const std::string& name, const std::string& message);

    void setValues(Ptr<StringMap> values);
    void setErrors(Ptr<StringMap> errors);
    void setModel(Ptr<String> model);

    /** Holds a new String with the text (a model already handed out stays unchanged). */
    void setModel(const std::string& model);

private:
    Ptr<StringMap> m_values;
    Ptr<StringMap> m_errors;
    Ptr<String> m_model;
};

} // namespace nx::sdk
