#include "settings_response.h"

#include <utility>

namespace nx::sdk {

namespace {

/** The held object with a new reference for the caller, or null. */
template<class Interface, class Object>
const Interface* newReference(const Ptr<Object>& object)
{
    if (!object)
        return nullptr;
    object->addRef();
    return object.get();
}

} // namespace

SettingsResponse::SettingsResponse(
    Ptr<StringMap> values, Ptr<StringMap> errors, Ptr<String> model)
    :
    m_values(std::move(values)),
    m_errors(std::move(errors)),
    m_model(std::move(model))
{
}

const IStringMap* SettingsResponse::values() const
{
    return newReference<IStringMap>(m_values);
}

const IStringMap* SettingsResponse::errors() const
{
    return newReference<IStringMap>(m_errors);
}

const IString* SettingsResponse::model() const
{
    return newReference<IString>(m_model);
}

void SettingsResponse::setValue(const std::string& name, const std::string& value)
{
    if (!m_values)
        m_values = makePtr<StringMap>();
    m_values->setItem(name, value);
}

void SettingsResponse::setError(const std::string& name, const std::string& message)
{
    if (!m_errors)
        m_errors = makePtr<StringMap>();
    m_errors->setItem(name, message);
}

void SettingsResponse::setValues(Ptr<StringMap> values)
{
    m_values = std::move(values);
}

void SettingsResponse::setErrors(Ptr<StringMap> errors)
{
    m_errors = std::move(errors);
}

void SettingsResponse::setModel(Ptr<String> model)
{
    m_model = std::move(model);
}

void SettingsResponse::setModel(const std::string& model)
{
    m_model = makePtr<String>(model);
}

} // namespace nx::sdk
