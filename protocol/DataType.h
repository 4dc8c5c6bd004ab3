#pragma once

#include <cstdint>
#include <string_view>

namespace modZeva {

// Type codes as they travel in bytes 22..23. Any other code counts as None.
enum DataType : int { None = 0, Byte = 1, Word = 2, DWord = 3, LWord = 4 };

// The data-type list of the window, in list order: position + 1 is the code.
inline constexpr std::string_view kTypeNames[] = {"BYTE", "WORD", "DWORD", "LWORD"};

// Third character of an upper-cased direct address: B, W, D, L -> 1..4, else 0.
DataType TypeFromDirectName(std::string_view name);

// Size in bytes of a type: 1, 2, 4, 8, or 0 for anything else.
int TypeSize(int code);

// Every type a device holds, as it travels. The device's bit shares code 0
// with None and carries one data byte holding 0 or 1; the client never asks
// for a bit, so TypeSize(None) stays 0 on its side.
struct DeviceType {
    int code;
    char letter;           // third character of a direct address
    std::string_view name;
    int size;              // data bytes in a read answer or a write request
};

inline constexpr int kBitCode = None;
inline constexpr std::uint8_t kBitMax = 1; // a bit's data byte holds 0 or 1

inline constexpr DeviceType kDeviceTypes[] = {
    {kBitCode, 'X', "BIT", 1},
    {Byte, 'B', "BYTE", 1},
    {Word, 'W', "WORD", 2},
    {DWord, 'D', "DWORD", 4},
    {LWord, 'L', "LWORD", 8},
};

static_assert(kDeviceTypes[1].name == kTypeNames[0] && kDeviceTypes[2].name == kTypeNames[1]
              && kDeviceTypes[3].name == kTypeNames[2] && kDeviceTypes[4].name == kTypeNames[3]);

// The device's type for a direct address letter (X, B, W, D, L) or a type
// name as the window lists them, plus "BIT"; nullptr when there is none.
const DeviceType* DeviceTypeFromLetter(char letter);
const DeviceType* DeviceTypeFromName(std::string_view name);
// The device's type with this code (0 is the bit); nullptr when there is none.
const DeviceType* DeviceTypeFromCode(int code);

// The type of an upper-cased direct address from its third character, as
// the window finds it; X, which the window sends as code 0 too, is a bit with
// one data byte. Any other character sends code 0 with no data.
DeviceType DirectAddressType(std::string_view upperName);

} // namespace modZeva
