#include "base64.h"

#include <array>
#include <cstdint>

namespace skyloom::tools {

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/** The value of each character of the alphabet; -1 for every other byte. */
const std::array<int, 256>& decodingTable()
{
    static const std::array<int, 256> table = []()
        {
            std::array<int, 256> values{};
            values.fill(-1);
            for (int i = 0; i < 64; ++i)
                values[static_cast<unsigned char>(kAlphabet[i])] = i;
            return values;
        }();
    return table;
}

} // namespace

std::string toBase64(const std::string& bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3)
    {
        const size_t left = bytes.size() - i;
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left > 1)
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (left > 2)
            group |= static_cast<unsigned char>(bytes[i + 2]);
        text += kAlphabet[(group >> 18) & 63];
        text += kAlphabet[(group >> 12) & 63];
        text += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        text += left > 2 ? kAlphabet[group & 63] : '=';
    }
    return text;
}

std::optional<std::string> fromBase64(const std::string& text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    const std::array<int, 256>& table = decodingTable();
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4)
    {
        const bool last = i + 4 == text.size();
        // Padding only at the very end: "xx==" or "xxx=".
        const int padding = !last ? 0 : text[i + 3] != '=' ? 0 : text[i + 2] != '=' ? 1 : 2;
        uint32_t group = 0;
        for (int k = 0; k < 4; ++k)
        {
            const int value = k >= 4 - padding
                ? 0 : table[static_cast<unsigned char>(text[i + static_cast<size_t>(k)])];
            if (value < 0)
                return std::nullopt;
            group = (group << 6) | static_cast<uint32_t>(value);
        }
        bytes += static_cast<char>((group >> 16) & 0xff);
        if (padding < 2)
            bytes += static_cast<char>((group >> 8) & 0xff);
        if (padding < 1)
            bytes += static_cast<char>(group & 0xff);
    }
    return bytes;
}

} // namespace skyloom::tools
