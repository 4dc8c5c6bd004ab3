#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modZeva {

// count bytes from start, two upper-case hex digits each, last byte first,
// so that a little-endian number reads as an ordinary hexadecimal number.
std::string BytesToHex(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t count);

bool IsHexDigit(char c);

// The other way: hex text, most significant digit first, into out least
// significant byte first, the bytes the text does not reach set to 0. An odd
// leading digit makes a byte alone. False, with out untouched, when the text
// is empty, holds anything but hex digits, or needs more bytes than out has.
bool HexToBytes(std::string_view text, std::span<std::uint8_t> out);

// Bytes written in wire order, two hex digits each, with spaces or colons
// allowed between bytes, appended to out. False, with out as it was, when a
// byte is not two hex digits.
bool AppendHexBytes(std::string_view text, std::vector<std::uint8_t>& out);

// A whole number written in digits of base (10 or 16) only, without sign or
// spaces, within min..max; absent otherwise, overflow included.
std::optional<std::uint64_t> ParseWhole(std::string_view text, std::uint64_t min, std::uint64_t max, int base = 10);

} // namespace modZeva
