// 16-byte id, in text order. The default value is the null id (all zero).
#pragma once

#include <array>
#include <cstdint>

namespace nx::sdk {

class Uuid
{
public:
    static constexpr int kSize = 16;

    Uuid() = default;
    explicit Uuid(const std::array<uint8_t, kSize>& bytes): m_data(bytes) {}

    const uint8_t* data() const { return m_data.data(); }
    uint8_t* data() { return m_data.data(); }
    uint8_t operator[](int index) const { return m_data[static_cast<size_t>(index)]; }
    uint8_t& operator[](int index) { return m_data[static_cast<size_t>(index)]; }

    bool isNull() const { return *this == Uuid(); }
    bool operator==(const Uuid& other) const { return m_data == other.m_data; }
    bool operator!=(const Uuid& other) const { return m_data != other.m_data; }
    bool operator<(const Uuid& other) const { return m_data < other.m_data; }

private:
    std::array<uint8_t, kSize> m_data{};
};

static_assert(sizeof(Uuid) == 16, "Uuid travels as 16 bytes");

} // namespace nx::sdk
