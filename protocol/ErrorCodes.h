#pragma once

// Device error codes: bytes 28..29 of a failed read or write answer, whose
// bytes 26..27 hold kErrorStatusFailed; bytes 26..27 of a failed status answer.

#include <cstdint>

namespace modZeva {

inline constexpr std::uint16_t kErrorStatusFailed = 0xFFFF;

inline constexpr std::uint16_t kErrBlockCount = 0x11;        // block count other than 1
inline constexpr std::uint16_t kErrInvalidRequest = 0x12;    // unknown command or malformed body
inline constexpr std::uint16_t kErrUndefinedVariable = 0x21; // name not defined in the access path
inline constexpr std::uint16_t kErrStructOrRange = 0x22;     // structure or out-of-range error
inline constexpr std::uint16_t kErrDataType = 0x24;          // type code does not match the variable
inline constexpr std::uint16_t kErrDataLength = 0x71;        // data length over the maximum
inline constexpr std::uint16_t kErrAccessRight = 0x73;       // no access right (read-only)

} // namespace modZeva
