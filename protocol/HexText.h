#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace modZeva {

// count bytes from start, two upper-case hex digits each, last byte first,
// so that a little-endian number reads as an ordinary hexadecimal number.
std::string BytesToHex(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t count);

} // namespace modZeva
