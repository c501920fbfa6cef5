// A device agent that the server feeds with data packets (video frames) on its threads.
#pragma once

#include <nx/sdk/analytics/i_data_packet.h>
#include <nx/sdk/analytics/i_device_agent.h>

namespace nx::sdk::analytics {

class IConsumingDeviceAgent: public Interface<IConsumingDeviceAgent, IDeviceAgent>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IConsumingDeviceAgent"; }

    virtual void doPushDataPacket(Result<void>* outResult, IDataPacket* dataPacket) = 0;
};

} // namespace nx::sdk::analytics
