#include "Wire.h"

namespace modZeva {

std::uint8_t CalcBcc(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to)
{
    unsigned sum = 0;
    for (std::size_t i = from; i <= to; ++i) {
        sum += bytes[i];
        if (sum >= 256)
            sum -= 256;
    }
    return static_cast<std::uint8_t>(sum);
}

} // namespace modZeva
