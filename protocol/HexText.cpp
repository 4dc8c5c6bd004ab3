#include "HexText.h"

namespace modZeva {

std::string BytesToHex(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t count)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(2 * count, '0');
    // Byte start + i lands at the front of what is built so far, so the last
    // byte ends up first.
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[start + i];
        const std::size_t at = 2 * (count - 1 - i);
        text[at] = kDigits[b >> 4];
        text[at + 1] = kDigits[b & 0x0F];
    }
    return text;
}

} // namespace modZeva
