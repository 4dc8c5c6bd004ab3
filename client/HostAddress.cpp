#include "HostAddress.h"

#include <algorithm>

namespace client {

namespace {

bool Digit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::optional<IpAddress> ParseIpv4(std::string_view text)
{
    IpAddress a;
    for (std::size_t part = 0; part < 4; ++part) {
        const std::size_t dot = text.find('.');
        if ((dot == std::string_view::npos) != (part == 3))
            return std::nullopt;
        const auto v = modZeva::ParseWhole(text.substr(0, dot), 0, 255, 10, modZeva::LeadingZeros::Refused);
        if (!v)
            return std::nullopt;
        a.bytes[part] = static_cast<std::uint8_t>(*v);
        text.remove_prefix(part == 3 ? text.size() : dot + 1);
    }
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
        const auto v = group.size() > 4 ? std::nullopt : modZeva::ParseWhole(group, 0, 0xFFFF, 16);
        if (!v)
            return std::nullopt;
        groups[std::size_t(count++)] = static_cast<std::uint16_t>(*v);
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
        && std::all_of(last.begin() + 2, last.end(), modZeva::IsHexDigit);
    return !decimal && !hex;
}

std::optional<HostPort> ParseHostPort(std::string_view text, const HostPortRules& rules, std::string* error)
{
    const auto fail = [&](std::string what) {
        *error = std::move(what);
        return std::nullopt;
    };
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F)
            return fail("whitespace or a control character");
    }
    std::string_view hostText = text;
    std::optional<std::string_view> portText;
    bool v6 = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return fail("no ']' after the IPv6 address");
        hostText = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return fail("expected :PORT after the brackets");
        if (!rest.empty())
            portText = rest.substr(1);
        if (hostText.empty())
            return fail("no IPv6 address in the brackets");
        v6 = true;
    } else if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        if (text.find(':', colon + 1) == std::string_view::npos) {
            hostText = text.substr(0, colon);
            portText = text.substr(colon + 1);
        } else if (rules.bareIpv6) {
            v6 = true;
        } else {
            return fail(rules.port ? "an IPv6 address goes in brackets: [ADDRESS] or [ADDRESS]:PORT"
                                   : "an IPv6 address goes in brackets: [ADDRESS]:PORT");
        }
    }
    if (hostText.empty() && !rules.anyHost)
        return fail("no host");

    HostPort out;
    if (!portText) {
        if (!rules.port)
            return fail("no port: expected HOST:PORT");
        out.port = out.lastPort = *rules.port;
    } else {
        const std::size_t dash = rules.portRange ? portText->find('-') : std::string_view::npos;
        const auto port = [&](std::string_view digits) {
            return modZeva::ParseWhole(digits, rules.lowestPort, 65535, 10, rules.portZeros);
        };
        const auto first = port(portText->substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : port(portText->substr(dash + 1));
        if (!first || !last || *last < *first)
            return fail("bad port: expected " + std::to_string(rules.lowestPort) + " to 65535"
                        + (rules.portRange ? ", or FIRST-LAST" : ""));
        out.port = static_cast<std::uint16_t>(*first);
        out.lastPort = static_cast<std::uint16_t>(*last);
    }

    out.hostText.assign(hostText);
    if (hostText.empty())
        return out; // every address
    if (v6) {
        std::string_view address = hostText;
        if (const std::size_t percent = address.find('%'); rules.zone && percent != std::string_view::npos) {
            const std::string_view zone = address.substr(percent + 1);
            const bool named = !zone.empty() && std::all_of(zone.begin(), zone.end(), [](char c) {
                return Digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '_' || c == '-';
            });
            if (!named)
                return fail("bad zone after %: expected an interface name or number");
            address = address.substr(0, percent);
        }
        if (!(out.host.address = ParseIpv6(address)))
            return fail(text.front() == '[' ? "no IPv6 address in the brackets"
                                            : "an IPv6 address with a port goes in brackets: [ADDRESS]:PORT");
        return out;
    }
    if ((out.host.address = ParseIpv4(hostText)))
        return out;
    if (!IsHostName(hostText))
        return fail(rules.bareIpv6 ? "not an IPv4 address (four numbers 0 to 255), an IPv6 address or a host name"
                                   : "not an IPv4 address (four numbers 0 to 255), an IPv6 address in brackets or a host name");
    out.host.name.assign(hostText);
    std::transform(out.host.name.begin(), out.host.name.end(), out.host.name.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return out;
}

} // namespace client
