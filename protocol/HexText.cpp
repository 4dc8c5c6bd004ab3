#include "HexText.h"

#include <algorithm>
#include <array>
#include <limits>

namespace modZeva {

namespace {

// Only called for a digit that IsHexDigit() accepted.
std::uint8_t HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<std::uint8_t>(c - 'A' + 10);
    return static_cast<std::uint8_t>(c - 'a' + 10);
}

} // namespace

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes, char separator, HexOrder order)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const std::size_t n = bytes.size();
    if (n == 0)
        return;
    const std::size_t width = separator ? 3 : 2;
    std::size_t at = out.size();
    out.resize(at + width * n - (width - 2));
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = bytes[order == HexOrder::Wire ? i : n - 1 - i];
        if (separator && i > 0)
            out[at++] = separator;
        out[at++] = kDigits[b >> 4];
        out[at++] = kDigits[b & 0x0F];
    }
}

std::string BytesToHex(std::span<const std::uint8_t> bytes, char separator)
{
    std::string text;
    AppendHex(text, bytes, separator);
    return text;
}

std::string BytesToHex(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t count)
{
    std::string text;
    AppendHex(text, bytes.subspan(start, count), '\0', HexOrder::LastFirst);
    return text;
}

std::string NumberToHex(std::uint64_t value, std::size_t digits)
{
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    std::string text;
    AppendHex(text, bytes, '\0', HexOrder::LastFirst);
    const std::size_t zeros = text.find_first_not_of('0');
    const std::size_t keep = std::max(digits, zeros == std::string::npos ? std::size_t{1} : text.size() - zeros);
    return keep >= text.size() ? std::string(keep - text.size(), '0') + text : text.substr(text.size() - keep);
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool HexToBytes(std::string_view text, std::span<std::uint8_t> out)
{
    if (text.empty() || (text.size() + 1) / 2 > out.size())
        return false;
    for (const char c : text) {
        if (!IsHexDigit(c))
            return false;
    }
    // Read from the right, two digits per byte, so the least significant
    // byte comes first.
    std::size_t remaining = text.size();
    std::size_t i = 0;
    for (; remaining > 0; ++i) {
        std::uint8_t b = HexDigitValue(text[remaining - 1]);
        if (remaining >= 2) {
            b = static_cast<std::uint8_t>(b | (HexDigitValue(text[remaining - 2]) << 4));
            remaining -= 2;
        } else {
            remaining -= 1;
        }
        out[i] = b;
    }
    for (; i < out.size(); ++i)
        out[i] = 0;
    return true;
}

bool AppendHexBytes(std::string_view text, std::vector<std::uint8_t>& out)
{
    const std::size_t before = out.size();
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] == ' ' || text[at] == ':') {
            ++at;
            continue;
        }
        if (at + 1 >= text.size() || !IsHexDigit(text[at]) || !IsHexDigit(text[at + 1])) {
            out.resize(before);
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(HexDigitValue(text[at]) << 4 | HexDigitValue(text[at + 1])));
        at += 2;
    }
    return true;
}

std::optional<std::uint64_t> ParseWhole(std::string_view text, std::uint64_t min, std::uint64_t max, int base,
                                        LeadingZeros zeros)
{
    if (text.empty() || (base != 10 && base != 16))
        return std::nullopt;
    if (zeros == LeadingZeros::Refused && text.size() > 1 && text.front() == '0')
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const bool digit = base == 16 ? IsHexDigit(c) : c >= '0' && c <= '9';
        if (!digit)
            return std::nullopt;
        const std::uint64_t d = HexDigitValue(c);
        if (value > (std::numeric_limits<std::uint64_t>::max() - d) / std::uint64_t(base))
            return std::nullopt;
        value = value * std::uint64_t(base) + d;
    }
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace modZeva
