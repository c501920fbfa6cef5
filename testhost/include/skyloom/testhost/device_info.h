// The server's description of one camera (IDeviceInfo), lent to doObtainDeviceAgent() and
// isCompatible(). Immutable after construction, so any thread may read it; texts stay valid
// while the object lives.
#pragma once

#include <cstdint>
#include <string>

#include <nx/sdk/i_device_info.h>

#include <skyloom/testhost/host_ref_countable.h>

namespace skyloom::testhost {

class DeviceInfo: public HostRefCountable<nx::sdk::IDeviceInfo>
{
public:
    static constexpr const char* kDefaultId = "{8f120e8a-2ced-c84a-aa40-59a59f563488}";

    struct Fields
    {
        std::string id = kDefaultId;
        std::string vendor = "Skyloom";
        std::string model = "Test Camera";
        std::string firmware = "1.0.0";
        std::string name = "Test camera 1";
        std::string url = "rtsp://127.0.0.1:554/stream1";
        std::string login = "admin";
        std::string password = "password";
        std::string sharedId = "test-camera-1";
        std::string logicalId = "1";
        int32_t channelNumber = 0;
    };

    DeviceInfo() = default;
    explicit DeviceInfo(Fields fields);

    /** Default fields with the given id. */
    explicit DeviceInfo(const std::string& id);

    virtual const char* id() const override { return m_fields.id.c_str(); }
    virtual const char* vendor() const override { return m_fields.vendor.c_str(); }
    virtual const char* model() const override { return m_fields.model.c_str(); }
    virtual const char* firmware() const override { return m_fields.firmware.c_str(); }
    virtual const char* name() const override { return m_fields.name.c_str(); }
    virtual const char* url() const override { return m_fields.url.c_str(); }
    virtual const char* login() const override { return m_fields.login.c_str(); }
    virtual const char* password() const override { return m_fields.password.c_str(); }
    virtual const char* sharedId() const override { return m_fields.sharedId.c_str(); }
    virtual const char* logicalId() const override { return m_fields.logicalId.c_str(); }
    virtual int32_t channelNumber() const override { return m_fields.channelNumber; }

    const Fields& fields() const { return m_fields; }

private:
    const Fields m_fields{}; //< Braces: clang 14 otherwise deletes the default constructor.
};

} // namespace skyloom::testhost
