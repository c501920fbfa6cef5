// Template from which every interface is declared: `class IFoo: public Interface<IFoo, IBase>`.
// It adds no virtual operation; its queryInterface() tries IFoo's id first, then the base's.
#pragma once

#include <nx/sdk/i_ref_countable.h>

namespace nx::sdk {

template<class DerivedInterface, class BaseInterface = IRefCountable>
class Interface: public BaseInterface
{
public:
    virtual IRefCountable* queryInterface(const char* id) override
    {
        if (IRefCountable::interfaceIdMatches(id, DerivedInterface::interfaceId()))
        {
            this->addRef();
            return static_cast<DerivedInterface*>(this);
        }
        return BaseInterface::queryInterface(id);
    }
};

} // namespace nx::sdk
