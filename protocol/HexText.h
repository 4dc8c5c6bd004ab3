#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modZeva {

// Every program writes bytes as hex here: two upper-case digits a byte.
enum class HexOrder {
    Wire,     // the bytes in the order given, as they went over the wire
    LastFirst // last byte first, so that a little-endian number reads as an ordinary hexadecimal number
};

// Appends bytes to out, with `separator` between bytes unless it is '\0'.
void AppendHex(std::string& out, std::span<const std::uint8_t> bytes, char separator = '\0',
               HexOrder order = HexOrder::Wire);

// Bytes in wire order, as AppendHex writes them (a frame in a trace or a log).
std::string BytesToHex(std::span<const std::uint8_t> bytes, char separator = '\0');

// count bytes from start, last byte first: a value as a device holds it.
std::string BytesToHex(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t count);

// A number in hexadecimal, at least `digits` digits (zeros in front), as
// many as it needs beyond that.
std::string NumberToHex(std::uint64_t value, std::size_t digits);

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

// Whether a whole number may be written with zeros in front (02004). Where
// a resolver or a reader could take them for octal, they are refused.
enum class LeadingZeros { Allowed, Refused };

// A whole number written in digits of base (10 or 16) only, without sign or
// spaces, within min..max; absent otherwise, overflow included. Every
// program reads its whole numbers here, each with its own range.
std::optional<std::uint64_t> ParseWhole(std::string_view text, std::uint64_t min, std::uint64_t max, int base = 10,
                                        LeadingZeros zeros = LeadingZeros::Allowed);

} // namespace modZeva
