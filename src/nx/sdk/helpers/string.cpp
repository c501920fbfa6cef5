#include "string.h"

#include <utility>

namespace nx::sdk {

String::String(std::string s): m_string(std::move(s))
{
}

String::String(const char* s): m_string(s ? s : "")
{
}

const char* String::str() const
{
    return m_string.c_str();
}

void String::setString(std::string s)
{
    m_string = std::move(s);
}

void String::setString(const char* s)
{
    m_string = s ? s : "";
}

int String::size() const
{
    return static_cast<int>(m_string.size());
}

bool String::empty() const
{
    return m_string.empty();
}

} // namespace nx::sdk
