#include "HostAddress.h"

#include <algorithm>

namespace client {

namespace {

bool Digit(char c)
{
    return c >= '0' && c <= '9';
}

int HexDigit(char c)
{
    if (Digit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// 1 to 65535 in decimal, no sign, no leading zero.
std::optional<std::uint16_t> Port(std::string_view text)
{
    if (text.empty() || text.size() > 5 || text.front() == '0')
        return std::nullopt;
    unsigned v = 0;
    for (char c : text) {
        if (!Digit(c))
            return std::nullopt;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(v);
}

} // namespace

std::optional<IpAddress> ParseIpv4(std::string_view text)
{
    IpAddress a;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.')
                return std::nullopt;
            text.remove_prefix(1);
        }
        std::size_t n = 0;
        while (n < text.size() && n < 4 && Digit(text[n]))
            ++n;
        if (n == 0 || n > 3 || (n > 1 && text.front() == '0'))
            return std::nullopt;
        int v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v = v * 10 + (text[i] - '0');
        if (v > 255)
            return std::nullopt;
        a.bytes[std::size_t(part)] = static_cast<std::uint8_t>(v);
        text.remove_prefix(n);
    }
    if (!text.empty())
        return std::nullopt;
    return a;
}

std::optional<IpAddress> ParseIpv6(std::string_view text)
{
    std::array<std::uint16_t, 8> groups{};
    int count = 0;
    int gap = -1; // where "::" stands, in groups
    if (text.substr(0, 2) == "::") {
        gap = 0;
        text.remove_prefix(2);
    } else if (!text.empty() && text.front() == ':') {
        return std::nullopt;
    }
    while (!text.empty()) {
        if (count == 8)
            return std::nullopt;
        // The last 32 bits as dotted decimal.
        const std::size_t colon = text.find(':');
        if (colon == std::string_view::npos && text.find('.') != std::string_view::npos) {
            const auto v4 = ParseIpv4(text);
            if (!v4 || count > 6)
                return std::nullopt;
            groups[std::size_t(count++)] = std::uint16_t(v4->bytes[0] << 8 | v4->bytes[1]);
            groups[std::size_t(count++)] = std::uint16_t(v4->bytes[2] << 8 | v4->bytes[3]);
            text = {};
            break;
        }
        const std::string_view group = text.substr(0, colon);
        if (group.empty() || group.size() > 4)
            return std::nullopt;
        unsigned v = 0;
        for (char c : group) {
            const int d = HexDigit(c);
            if (d < 0)
                return std::nullopt;
            v = v * 16 + unsigned(d);
        }
        groups[std::size_t(count++)] = static_cast<std::uint16_t>(v);
        if (colon == std::string_view::npos) {
            text = {};
            break;
        }
        text.remove_prefix(colon + 1);
        if (!text.empty() && text.front() == ':') {
            if (gap >= 0)
                return std::nullopt;
            gap = count;
            text.remove_prefix(1);
        } else if (text.empty()) {
            return std::nullopt; // a trailing single colon
        }
    }
    if (gap < 0 ? count != 8 : count > 7)
        return std::nullopt;
    IpAddress a;
    a.v6 = true;
    const int missing = 8 - count;
    for (int i = 0, out = 0; i < count; ++i, ++out) {
        if (i == gap)
            out += missing;
        a.bytes[std::size_t(out * 2)] = static_cast<std::uint8_t>(groups[std::size_t(i)] >> 8);
        a.bytes[std::size_t(out * 2 + 1)] = static_cast<std::uint8_t>(groups[std::size_t(i)]);
    }
    return a;
}

std::string IpAddress::ToString() const
{
    if (!v6) {
        return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "."
            + std::to_string(bytes[3]);
    }
    std::array<unsigned, 8> g{};
    for (std::size_t i = 0; i < 8; ++i)
        g[i] = unsigned(bytes[i * 2]) << 8 | bytes[i * 2 + 1];
    // The longest run of two or more zero groups, the first of equals.
    int best = -1, bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && g[std::size_t(j)] == 0)
            ++j;
        if (j - i > bestLength) {
            best = i;
            bestLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            out += "::";
            i += bestLength - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':')
            out += ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned d = (g[std::size_t(i)] >> shift) & 0xF;
            if (d || started || shift == 0) {
                out += kHex[d];
                started = true;
            }
        }
    }
    return out;
}

bool IpAddress::InRange(const IpAddress& network, int prefix) const
{
    if (v6 != network.v6 || prefix < 0 || prefix > Bits())
        return false;
    const std::size_t whole = std::size_t(prefix / 8);
    if (!std::equal(bytes.begin(), bytes.begin() + std::ptrdiff_t(whole), network.bytes.begin()))
        return false;
    const int rest = prefix % 8;
    if (rest == 0)
        return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (bytes[whole] & mask) == (network.bytes[whole] & mask);
}

bool IsHostName(std::string_view text)
{
    if (text.empty() || text.size() > 253)
        return false;
    std::string_view last;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view label = text.substr(0, dot);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label) {
            const bool ok = Digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
            if (!ok)
                return false;
        }
        last = label;
        if (dot == std::string_view::npos)
            break;
        text.remove_prefix(dot + 1);
    }
    const bool decimal = std::all_of(last.begin(), last.end(), Digit);
    const bool hex = last.size() > 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X')
        && std::all_of(last.begin() + 2, last.end(), [](char c) { return HexDigit(c) >= 0; });
    return !decimal && !hex;
}

std::optional<HostPort> ParseHostPort(std::string_view text, std::uint16_t port, std::string* error)
{
    const auto fail = [&](const char* what) {
        *error = what;
        return std::nullopt;
    };
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F)
            return fail("whitespace or a control character");
    }
    std::string_view hostText = text, portText;
    bool bracketed = false, hasPort = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return fail("no ']' after the IPv6 address");
        hostText = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return fail("expected :PORT after the brackets");
        bracketed = true;
        hasPort = !rest.empty();
        portText = hasPort ? rest.substr(1) : std::string_view{};
    } else if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        if (text.find(':', colon + 1) != std::string_view::npos)
            return fail("an IPv6 address goes in brackets: [ADDRESS] or [ADDRESS]:PORT");
        hostText = text.substr(0, colon);
        portText = text.substr(colon + 1);
        hasPort = true;
    }
    if (hostText.empty())
        return fail("no host");
    HostPort out;
    out.port = port;
    if (hasPort) {
        const auto p = Port(portText);
        if (!p)
            return fail("bad port: expected 1 to 65535");
        out.port = *p;
    }
    if (bracketed) {
        out.host.address = ParseIpv6(hostText);
        if (!out.host.address)
            return fail("not an IPv6 address in the brackets");
        return out;
    }
    if ((out.host.address = ParseIpv4(hostText)))
        return out;
    if (!IsHostName(hostText))
        return fail("not an IPv4 address (four numbers 0 to 255), an IPv6 address in brackets or a host name");
    out.host.name.assign(hostText);
    std::transform(out.host.name.begin(), out.host.name.end(), out.host.name.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return out;
}

} // namespace client
