#include "track_identity.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include <nx/sdk/helpers/uuid_helper.h>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** Fills the buffer from getrandom(); falls back to std::random_device where it is missing. */
void fillRandom(uint8_t* data, size_t size)
{
    size_t filled = 0;
    while (filled < size)
    {
        const ssize_t got = getrandom(data + filled, size - filled, 0);
        if (got > 0)
            filled += static_cast<size_t>(got);
        else if (got < 0 && errno != EINTR)
            break;
    }
    if (filled == size)
        return;
    std::random_device device;
    for (; filled < size; ++filled)
        data[filled] = static_cast<uint8_t>(device());
}

} // namespace

nx::sdk::Uuid systemRandomUuid()
{
    nx::sdk::Uuid uuid;
    uint8_t bytes[16];
    fillRandom(bytes, sizeof(bytes));
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40); //< Version 4.
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80); //< Variant bits 10.
    for (int i = 0; i < 16; ++i)
        uuid[i] = bytes[i];
    return uuid;
}

TrackIdentity::TrackIdentity(NowSource now):
    m_now(nowOrClock(std::move(now))),
    m_counterTrackId(systemRandomUuid())
{
    renewBase();
}

bool TrackIdentity::noteMessage(Clock::time_point now)
{
    const bool renew = m_anyMessage && now - m_lastMessage >= kRenewalSilence;
    m_anyMessage = true;
    m_lastMessage = now;
    if (renew)
        renewBase();
    return renew;
}

nx::sdk::Uuid TrackIdentity::makeTrackId(int trackId) const
{
    // Bytes 0..11 of the base, then the id as a big-endian 32-bit number: the same value as
    // printing the first 29 characters of the base text and "%08x" of the id and parsing the
    // text back, without the print and the parse.
    nx::sdk::Uuid trackUuid = m_base;
    const auto value = static_cast<uint32_t>(trackId);
    trackUuid[12] = static_cast<uint8_t>(value >> 24);
    trackUuid[13] = static_cast<uint8_t>(value >> 16);
    trackUuid[14] = static_cast<uint8_t>(value >> 8);
    trackUuid[15] = static_cast<uint8_t>(value);
    return trackUuid;
}

void TrackIdentity::renewBase()
{
    m_base = systemRandomUuid();
    m_baseString = nx::sdk::UuidHelper::toStdString(m_base, nx::sdk::UuidHelper::all);
}

} // namespace nx::vms_server_plugins::analytics::sample
