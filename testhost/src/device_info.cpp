#include <skyloom/testhost/device_info.h>

#include <utility>

namespace skyloom::testhost {

DeviceInfo::DeviceInfo(Fields fields): m_fields(std::move(fields))
{
}

DeviceInfo::DeviceInfo(const std::string& id): m_fields([&id]() {
    Fields fields;
    fields.id = id;
    return fields;
}())
{
}

} // namespace skyloom::testhost
