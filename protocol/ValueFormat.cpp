#include "ValueFormat.h"

#include "HexText.h"

#include <array>
#include <bit>
#include <charconv>
#include <limits>
#include <system_error>

namespace modZeva {

namespace {

constexpr std::size_t kMaxNumberBytes = 8; // LWORD
constexpr std::size_t kFloatBytes = 4;     // binary32
constexpr std::size_t kDoubleBytes = 8;    // binary64

struct FormatName {
    ValueFormat format;
    std::string_view name;
};

// In the order of ValueFormat, so that a format's value is its index.
constexpr std::array<FormatName, 5> kFormatNames = {{
    {ValueFormat::Hex, "hex"},
    {ValueFormat::Unsigned, "unsigned"},
    {ValueFormat::Signed, "signed"},
    {ValueFormat::Float, "float"},
    {ValueFormat::Binary, "binary"},
}};
static_assert(kFormatNames[static_cast<std::size_t>(ValueFormat::Binary)].format == ValueFormat::Binary);

// Little-endian bytes, at most 8, into one number.
std::uint64_t Le(std::span<const std::uint8_t> bytes)
{
    std::uint64_t v = 0;
    for (std::size_t i = bytes.size(); i > 0; --i)
        v = (v << 8) | bytes[i - 1];
    return v;
}

template <typename T>
std::string Text(T value)
{
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, value);
    return std::string(text, r.ptr);
}

std::string Bits(std::span<const std::uint8_t> bytes)
{
    std::string text;
    text.reserve(bytes.size() * 10);
    for (std::size_t i = bytes.size(); i > 0; --i) {
        for (int bit = 7; bit >= 0; --bit) {
            if (!text.empty() && bit % 4 == 3)
                text += '_';
            text += (bytes[i - 1] >> bit) & 1 ? '1' : '0';
        }
    }
    return text;
}

// The value's `size` bytes as hex text, least significant byte from v's low end.
std::string HexOf(std::uint64_t v, std::size_t size)
{
    std::array<std::uint8_t, kMaxNumberBytes> bytes{};
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
    return BytesToHex(bytes, 0, size);
}

std::string Quoted(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

std::string Bytes(std::size_t size)
{
    return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}

// The whole text read as a number of type T by from_chars; a partial read
// counts as no number.
template <typename T>
std::errc ReadAll(std::string_view text, T& value)
{
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    if (r.ec == std::errc() && r.ptr != text.data() + text.size())
        return std::errc::invalid_argument;
    return r.ec;
}

std::optional<std::string> ParseUnsigned(std::string_view text, std::size_t size, std::string* error)
{
    const std::uint64_t max = size == kMaxNumberBytes ? std::numeric_limits<std::uint64_t>::max()
                                                      : (std::uint64_t(1) << (8 * size)) - 1;
    std::uint64_t v = 0;
    const std::errc ec = ReadAll(text, v);
    if (ec == std::errc::invalid_argument) {
        *error = Quoted(text) + " is not an unsigned decimal number";
        return std::nullopt;
    }
    if (ec != std::errc() || v > max) {
        *error = Quoted(text) + " does not fit in " + Bytes(size) + " (0 to " + Text(max) + ")";
        return std::nullopt;
    }
    return HexOf(v, size);
}

std::optional<std::string> ParseSigned(std::string_view text, std::size_t size, std::string* error)
{
    const std::int64_t max = size == kMaxNumberBytes ? std::numeric_limits<std::int64_t>::max()
                                                     : (std::int64_t(1) << (8 * size - 1)) - 1;
    const std::int64_t min = -max - 1;
    std::int64_t v = 0;
    const std::errc ec = ReadAll(text, v);
    if (ec == std::errc::invalid_argument) {
        *error = Quoted(text) + " is not a signed decimal number";
        return std::nullopt;
    }
    if (ec != std::errc() || v < min || v > max) {
        *error = Quoted(text) + " does not fit in " + Bytes(size) + " (" + Text(min) + " to " + Text(max) + ")";
        return std::nullopt;
    }
    return HexOf(static_cast<std::uint64_t>(v), size);
}

template <typename T>
std::optional<std::string> ParseFloat(std::string_view text, std::size_t size, std::string* error)
{
    T v = 0;
    const std::errc ec = ReadAll(text, v);
    if (ec == std::errc::invalid_argument) {
        *error = Quoted(text) + " is not a floating-point number";
        return std::nullopt;
    }
    // Too large, or so small that it would read as zero.
    if (ec != std::errc()) {
        *error = Quoted(text) + " is out of the range of a " + std::to_string(size) + "-byte float";
        return std::nullopt;
    }
    using Raw = std::conditional_t<sizeof(T) == kFloatBytes, std::uint32_t, std::uint64_t>;
    return HexOf(std::bit_cast<Raw>(v), size);
}

std::optional<std::string> ParseBinary(std::string_view text, std::size_t size, std::string* error)
{
    // Digits 0 and 1; a '_' only between two digits.
    bool digits = !text.empty();
    for (std::size_t i = 0; i < text.size() && digits; ++i) {
        if (text[i] == '_')
            digits = i > 0 && i + 1 < text.size() && text[i - 1] != '_';
        else
            digits = text[i] == '0' || text[i] == '1';
    }
    if (!digits) {
        *error = Quoted(text) + " is not a binary number (digits 0 and 1, groups joined by _)";
        return std::nullopt;
    }
    std::uint64_t v = 0;
    std::size_t bits = 0; // from the first 1 on
    for (const char c : text) {
        if (c == '_' || (bits == 0 && c == '0'))
            continue;
        if (++bits > 8 * size) {
            *error = Quoted(text) + " does not fit in " + Bytes(size) + " (" + std::to_string(8 * size) + " bits)";
            return std::nullopt;
        }
        v = (v << 1) | std::uint64_t(c == '1');
    }
    return HexOf(v, size);
}

} // namespace

std::optional<ValueFormat> ValueFormatFromName(std::string_view name)
{
    for (const FormatName& f : kFormatNames)
        if (f.name == name)
            return f.format;
    return std::nullopt;
}

bool FormatSuits(ValueFormat format, std::size_t size)
{
    switch (format) {
    case ValueFormat::Hex: return true;
    case ValueFormat::Float: return size == kFloatBytes || size == kDoubleBytes;
    case ValueFormat::Unsigned:
    case ValueFormat::Signed:
    case ValueFormat::Binary: return size >= 1 && size <= kMaxNumberBytes;
    }
    return false;
}

std::string FormatValue(std::span<const std::uint8_t> bytes, ValueFormat format)
{
    const std::size_t size = bytes.size();
    if (format == ValueFormat::Hex || !FormatSuits(format, size))
        return BytesToHex(bytes, 0, size);
    const std::uint64_t v = Le(bytes);
    switch (format) {
    case ValueFormat::Unsigned: return Text(v);
    case ValueFormat::Signed: {
        // Sign-extended from the value's top bit.
        const std::uint64_t high = size < kMaxNumberBytes && (v >> (8 * size - 1)) != 0
            ? ~std::uint64_t(0) << (8 * size) : 0;
        return Text(static_cast<std::int64_t>(v | high));
    }
    case ValueFormat::Float:
        return size == kFloatBytes ? Text(std::bit_cast<float>(static_cast<std::uint32_t>(v)))
                                   : Text(std::bit_cast<double>(v));
    case ValueFormat::Binary: return Bits(bytes);
    case ValueFormat::Hex: break;
    }
    return BytesToHex(bytes, 0, size);
}

std::string FormatHexValue(std::string_view hex, ValueFormat format)
{
    std::array<std::uint8_t, kMaxNumberBytes> bytes{};
    const std::size_t size = hex.size() / 2;
    if (format == ValueFormat::Hex || hex.size() % 2 != 0 || size > bytes.size()
        || !HexToBytes(hex, std::span(bytes).first(size)))
        return std::string(hex);
    return FormatValue(std::span(bytes).first(size), format);
}

std::optional<std::string> ParseValue(std::string_view text, ValueFormat format, std::size_t size,
                                      std::string* error)
{
    if (format == ValueFormat::Hex)
        return std::string(text);
    if (!FormatSuits(format, size)) {
        *error = "a value of " + Bytes(size) + " has no "
            + std::string(kFormatNames[static_cast<std::size_t>(format)].name) + " form";
        return std::nullopt;
    }
    switch (format) {
    case ValueFormat::Unsigned: return ParseUnsigned(text, size, error);
    case ValueFormat::Signed: return ParseSigned(text, size, error);
    case ValueFormat::Float:
        return size == kFloatBytes ? ParseFloat<float>(text, size, error) : ParseFloat<double>(text, size, error);
    case ValueFormat::Binary: return ParseBinary(text, size, error);
    case ValueFormat::Hex: break;
    }
    return std::string(text);
}

} // namespace modZeva
