// A user action on an object track (IAction), lent to the engine's doExecuteAction(). Set the
// fields on one thread before lending it. params() hands out a new reference to the held map
// (null when the map was set to null), as every returned pointer does.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include <nx/sdk/analytics/i_action.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/uuid.h>

#include <skyloom/testhost/host_ref_countable.h>
#include <skyloom/testhost/string_map.h>

namespace skyloom::testhost {

class Action: public HostRefCountable<nx::sdk::analytics::IAction>
{
public:
    Action(): m_params(nx::sdk::makePtr<StringMap>()) {}

    virtual const char* actionId() const override { return m_actionId.c_str(); }
    virtual void objectTrackId(nx::sdk::Uuid* outValue) const override { *outValue = m_trackId; }
    virtual void deviceId(nx::sdk::Uuid* outValue) const override { *outValue = m_deviceId; }
    virtual int64_t timestampUs() const override { return m_timestampUs; }
    virtual const void* objectTrackInfo() const override { return m_objectTrackInfo; }

    virtual const nx::sdk::IStringMap* params() const override
    {
        if (m_params)
            m_params->addRef();
        return m_params.get();
    }

    void setActionId(std::string value) { m_actionId = std::move(value); }
    void setObjectTrackId(const nx::sdk::Uuid& value) { m_trackId = value; }
    void setDeviceId(const nx::sdk::Uuid& value) { m_deviceId = value; }
    void setTimestampUs(int64_t value) { m_timestampUs = value; }
    void setObjectTrackInfo(const void* value) { m_objectTrackInfo = value; }
    void setParams(nx::sdk::Ptr<StringMap> value) { m_params = std::move(value); }

private:
    std::string m_actionId = "skyloom.plugin.action";
    nx::sdk::Uuid m_trackId;
    nx::sdk::Uuid m_deviceId;
    int64_t m_timestampUs = 0;
    const void* m_objectTrackInfo = nullptr;
    nx::sdk::Ptr<StringMap> m_params;
};

} // namespace skyloom::testhost
