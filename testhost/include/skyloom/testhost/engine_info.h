// The server's information about the engine (IEngineInfo), lent to setEngineInfo(). Immutable,
// so any thread may read it; texts stay valid while the object lives.
#pragma once

#include <string>
#include <utility>

#include <nx/sdk/analytics/i_engine_info.h>

#include <skyloom/testhost/host_ref_countable.h>

namespace skyloom::testhost {

class EngineInfo: public HostRefCountable<nx::sdk::analytics::IEngineInfo>
{
public:
    static constexpr const char* kDefaultId = "{5a4d2e1c-7b3f-4e9a-8c6d-1f2e3a4b5c6d}";
    static constexpr const char* kDefaultName = "Skyloom Analytics";

    explicit EngineInfo(std::string id = kDefaultId, std::string name = kDefaultName):
        m_id(std::move(id)), m_name(std::move(name))
    {
    }

    virtual const char* id() const override { return m_id.c_str(); }
    virtual const char* name() const override { return m_name.c_str(); }

private:
    const std::string m_id;
    const std::string m_name;
};

} // namespace skyloom::testhost
