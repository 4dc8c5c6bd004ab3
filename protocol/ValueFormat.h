#pragma once

// A variable's value as a number: shown from the bytes a device sends, and
// read from a user's text into the bytes a write sends.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace modZeva {

enum class ValueFormat {
    Hex,      // most significant digit first, as the window shows it
    Unsigned, // decimal
    Signed,   // decimal, two's complement over the value's size
    Float,    // 4 bytes IEEE 754 binary32, 8 bytes binary64
    Binary,   // bits most significant first, groups of four joined by '_'
};

// "hex", "unsigned", "signed", "float", "binary"; absent for any other name.
std::optional<ValueFormat> ValueFormatFromName(std::string_view name);

// Whether a value of `size` bytes has a text in the format: hex any size,
// float 4 or 8 bytes, the others 1 to 8.
bool FormatSuits(ValueFormat format, std::size_t size);

// bytes: a value as the device sends it, least significant byte first.
// Float is the shortest text that reads back to the same value. A format
// that does not suit the size gives hex.
std::string FormatValue(std::span<const std::uint8_t> bytes, ValueFormat format);

// The same from a read answer's value text (hex, most significant digit
// first); the text as it is when it is not whole bytes of hex.
std::string FormatHexValue(std::string_view hex, ValueFormat format);

// A user's text in the format into hex text of the value's `size` bytes,
// most significant digit first, as a write request takes it. Hex text is
// passed on unchanged: the request builder checks it. Absent, with `error`
// set, when the text is not a number of the format or does not fit in
// `size` bytes.
std::optional<std::string> ParseValue(std::string_view text, ValueFormat format, std::size_t size,
                                      std::string* error);

} // namespace modZeva
