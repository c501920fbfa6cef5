// A reference-counted text: the carrier of error messages, manifests and setting models.
// Filled by one thread before it is handed over; str() stays valid until the text is changed
// or the object is destroyed.
#pragma once

#include <string>

#include <nx/sdk/i_string.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk {

class String: public RefCountable<IString>
{
public:
    String() = default;
    String(std::string s);
    /** A null pointer gives the empty text. */
    String(const char* s);

    virtual const char* str() const override;

    void setString(std::string s);
    /** A null pointer empties the text. */
    void setString(const char* s);

    int size() const;
    bool empty() const;

private:
    std::string m_string;
};

} // namespace nx::sdk
