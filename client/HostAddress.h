#pragma once

#include <HexText.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace client {

// An IPv4 or IPv6 address, in network order.
struct IpAddress {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{}; // IPv4: the first four

    int Bits() const { return v6 ? 128 : 32; }
    // Dotted decimal, or the shortest IPv6 text (lower case, the longest run
    // of zero groups as "::").
    std::string ToString() const;
    // Whether the first `prefix` bits are those of `network`, of the same family.
    bool InRange(const IpAddress& network, int prefix) const;
};

// Four decimal numbers 0 to 255 with dots, no leading zeros, nothing else:
// none of the octal, hexadecimal or shortened forms a resolver would also take.
std::optional<IpAddress> ParseIpv4(std::string_view text);
// An IPv6 address without brackets or zone: groups of 1 to 4 hex digits,
// at most one "::", the last 32 bits possibly as dotted decimal.
std::optional<IpAddress> ParseIpv6(std::string_view text);

// Letters, digits and hyphens in dot-separated labels of 1 to 63, at most
// 253 in all, labels neither starting nor ending with a hyphen. The last
// label may not be a number (decimal, or 0x and hex digits), so that a
// resolver can never read the name as an address.
bool IsHostName(std::string_view text);

// A device's host as given to a program: an IPv4 address, an IPv6 address
// in brackets, or a host name. `address` is set for an address, `name`
// (lower-cased) for a host name.
struct Host {
    std::optional<IpAddress> address;
    std::string name;
    // The address's text (IPv6 without brackets), or the name.
    std::string ToString() const { return address ? address->ToString() : name; }
};

// How a program reads a device's or a listener's address. Every program
// takes HOST, HOST:PORT, [IPv6] and [IPv6]:PORT, HOST as for Host, PORT in
// decimal, and no whitespace or control character anywhere; these are what
// differ between them.
struct HostPortRules {
    std::optional<std::uint16_t> port; // for a text without a port; none: a port is needed
    std::uint16_t lowestPort = 1;      // 0 where port 0 asks for any free port (a listener)
    modZeva::LeadingZeros portZeros = modZeva::LeadingZeros::Refused;
    bool portRange = false; // PORT may be FIRST-LAST
    // A text with more than one colon outside brackets is an IPv6 address
    // alone, never split at a colon: taken as the host (with the default
    // port) where this is set, refused with a word on brackets otherwise.
    bool bareIpv6 = false;
    bool zone = false;      // an IPv6 address may end in %ZONE, the interface
    bool anyHost = false;   // an empty HOST, as in :PORT, means every address
};

struct HostPort {
    Host host;
    std::string hostText;        // the host as written, without brackets
    std::uint16_t port = 0;
    std::uint16_t lastPort = 0;  // the range's last port; port without a range
};

// Absent with `error` (which never repeats the text) when the text does not
// follow the rules.
std::optional<HostPort> ParseHostPort(std::string_view text, const HostPortRules& rules, std::string* error);

} // namespace client
