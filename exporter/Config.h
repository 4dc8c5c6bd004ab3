#pragma once

#include <Engine.h>
#include <HostAddress.h>
#include <ValueFormat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace exporter {

// One variable a module reads, and how its value becomes a number.
struct ProbeVariable {
    client::Request request;
    std::string label; // the upper-cased name, as the metrics' label
    modZeva::ValueFormat format = modZeva::ValueFormat::Unsigned;
};

// What a probe asks of a device: one connection, each variable once, in
// order, then the status where asked.
struct Module {
    platform::Protocol protocol = platform::Protocol::Tcp;
    std::uint16_t port = 2004;         // for a target named without one
    std::int64_t timeoutUs = 1'000'000; // per exchange, the connection included
    std::int64_t probeTimeoutUs = 0;    // the whole probe; 0: as the scraper allows
    int retries = 0;                   // UDP: copies sent again after a timeout
    bool status = false;
    std::vector<ProbeVariable> variables;
};

// A device a probe may reach: an address range, or a host name that a
// target must name exactly.
struct AllowEntry {
    client::IpAddress network;
    int prefix = -1; // -1: a host name
    std::string name; // lower-cased
};

struct Config {
    std::vector<AllowEntry> allow;
    std::map<std::string, Module> modules;

    // Whether a probe may reach `host`, a target's host as ParseTarget gives
    // it: an address within a range, or a host name listed as it is. A host
    // name is never looked up to be checked, so that a refused target costs
    // no packet.
    bool Allows(const std::string& host) const;
};

struct Loaded {
    std::shared_ptr<const Config> config; // null when the file was refused
    std::string error;                    // FILE:LINE:COLUMN: what is wrong
};

Loaded LoadConfig(const std::string& path);
// The same from text; `file` names it in errors.
Loaded ParseConfig(const std::string& text, const std::string& file);

// A probe's target.
struct Target {
    std::string host; // an IPv4 or IPv6 address in canonical form, or a lower-cased host name
    std::uint16_t port = 0;
};

// HOST, HOST:PORT, [IPv6] or [IPv6]:PORT as client::ParseHostPort takes
// them; `port` for a target without one. False, with `error`, for anything else.
bool ParseTarget(std::string_view text, std::uint16_t port, Target* target, std::string* error);

// A duration as Prometheus writes one: a whole number with ms, s, m or h,
// or several in that order (1m30s). Absent when the text is not one, or
// is more than a 64-bit count of microseconds holds.
std::optional<std::int64_t> ParseDurationUs(std::string_view text);

// How long a probe may take: the smallest of the module's probe_timeout,
// the scraper's timeout header less `offsetUs` and ten minutes. A header
// that is not a positive finite number of seconds is ignored, and 10 s
// stands for it. A header shorter than twice the offset keeps half of
// itself for the answer's way back.
std::int64_t ProbeDeadlineUs(std::string_view timeoutHeader, std::int64_t offsetUs, std::int64_t probeTimeoutUs);

} // namespace exporter
