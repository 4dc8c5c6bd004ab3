#pragma once

// Wire layout of every frame, request and response alike. Multi-byte numbers
// are little-endian.
//
//   0..9   company id, ten ASCII characters
//   10..11 state word (0 in requests, the device's state in responses)
//   12     0
//   13     direction: 0x33 client to device, 0x11 device to client
//   14..15 sequence number: 0 from the window; a device echoes them
//   16..17 body length = frame length - 20
//   18     0
//   19     checksum: sum of bytes 0..18 modulo 256
//   20..   body

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace modZeva {

inline constexpr std::array<std::uint8_t, 10> kCompanyId = {'V', 'O', 'R', 'N', '-', 'K', 'E', 'L', 'T', 'U'};

inline constexpr std::size_t kHeaderSize = 20;
inline constexpr std::size_t kCompanyIdAt = 0;   // bytes 0..9
inline constexpr std::size_t kStateWord = 10;    // bytes 10..11
inline constexpr std::size_t kDirection = 13;
inline constexpr std::size_t kInvokeId = 14;     // bytes 14..15
inline constexpr std::size_t kBodyLength = 16;   // bytes 16..17
inline constexpr std::size_t kBcc = 19;
inline constexpr std::size_t kBccLast = 18;      // the checksum covers bytes 0..18

inline constexpr std::uint8_t kToDevice = 0x33;
inline constexpr std::uint8_t kFromDevice = 0x11;

// The window's request bodies stay within what byte 16 alone can count.
inline constexpr std::size_t kMaxRequestBody = 255;
inline constexpr std::size_t kMaxRequestFrame = kHeaderSize + kMaxRequestBody;
// Any frame's body length field is 16 bits.
inline constexpr std::size_t kMaxBody = 0xFFFF;
inline constexpr std::size_t kMaxFrame = kHeaderSize + kMaxBody;

// Body offsets, from the start of the frame.
inline constexpr std::size_t kCommand = 20;      // bytes 20..21
inline constexpr std::size_t kDataType = 22;     // bytes 22..23
inline constexpr std::size_t kReserved = 24;     // bytes 24..25
inline constexpr std::size_t kBlockCount = 26;   // requests: bytes 26..27
inline constexpr std::size_t kErrorStatus = 26;  // responses: bytes 26..27
inline constexpr std::size_t kNameLength = 28;   // requests: bytes 28..29
inline constexpr std::size_t kErrorCode = 28;    // error responses: bytes 28..29
inline constexpr std::size_t kName = 30;         // requests: the name, then (write) size and data
inline constexpr std::size_t kStatusData = 30;   // status answer: bytes 30..49
inline constexpr std::size_t kStatusDataSize = 20;
inline constexpr std::size_t kReadValue = 32;    // read answer: bytes 32..
inline constexpr std::size_t kReadDataSize = 30; // read answer: bytes 30..31
inline constexpr std::size_t kAnswerBlockCount = 28; // successful read and write answers: bytes 28..29
inline constexpr std::size_t kStatusDataLength = 28; // status answer: bytes 28..29, the size of its data

// Commands (byte 20).
inline constexpr std::uint8_t kReadRequest = 0x54;
inline constexpr std::uint8_t kReadAnswer = 0x55;
inline constexpr std::uint8_t kWriteRequest = 0x58;
inline constexpr std::uint8_t kWriteAnswer = 0x59;
inline constexpr std::uint8_t kStatusRequest = 0xB0;
inline constexpr std::uint8_t kStatusAnswer = 0xB1;

inline std::uint16_t getLe16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

inline void putLe16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value)
{
    bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Sum of bytes[from..to], both ends included, modulo 256.
std::uint8_t CalcBcc(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to);

} // namespace modZeva
