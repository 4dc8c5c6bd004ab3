#include "Config.h"

#include <DataType.h>
#include <HexText.h>
#include <Requests.h>

#include "YamlCheck.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

namespace exporter {

namespace {

using namespace yamlcheck;

constexpr std::uint16_t kTcpPort = 2004;
constexpr std::uint16_t kUdpPort = 2005;
constexpr int kMaxRetries = 10;
constexpr std::int64_t kMaxTimeoutUs = 600'000'000; // ten minutes: longer than any scrape
constexpr std::int64_t kNoHeaderDeadlineUs = 10'000'000;
constexpr std::uintmax_t kMaxFileBytes = 1 << 20;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return text;
}


AllowEntry ParseAllow(const YAML::Node& node)
{
    const std::string& text = Scalar(node, "an allow entry");
    // An IPv6 address may come with or without brackets here.
    const auto address = [](std::string_view a) {
        if (a.size() > 2 && a.front() == '[' && a.back() == ']')
            return client::ParseIpv6(a.substr(1, a.size() - 2));
        auto v4 = client::ParseIpv4(a);
        return v4 ? v4 : client::ParseIpv6(a);
    };
    AllowEntry entry;
    if (const std::size_t slash = text.find('/'); slash != std::string::npos) {
        const auto network = address(std::string_view(text).substr(0, slash));
        const std::string prefixText = text.substr(slash + 1);
        const auto prefix = modZeva::ParseWhole(prefixText, 0, 128, 10, modZeva::LeadingZeros::Refused);
        if (!network || !prefix || int(*prefix) > network->Bits())
            Fail(node, "'" + text + "' is not an address range (expected ADDRESS/PREFIX, such as 127.0.0.0/8)");
        entry.network = *network;
        entry.prefix = int(*prefix);
        return entry;
    }
    if (const auto a = address(text)) {
        entry.network = *a;
        entry.prefix = a->Bits();
        return entry;
    }
    if (!client::IsHostName(text))
        Fail(node, "'" + text + "' is not an address, an address range or a host name "
                   "(an IPv4 address is four numbers 0 to 255 without leading zeros)");
    entry.name = Lower(text);
    return entry;
}

ProbeVariable ParseVariable(const YAML::Node& node)
{
    CheckKeys(node, {"name", "type", "format"}, "a variable");
    const YAML::Node nameNode = node["name"];
    if (!nameNode)
        Fail(node, "a variable needs a name");
    ProbeVariable v;
    client::Request& r = v.request;
    r.command = client::Command::Read;
    r.name = modZeva::UpperCase(Scalar(nameNode, "name"));
    v.label = r.name;
    if (r.name.empty())
        Fail(nameNode, "the variable name is empty");

    modZeva::DeviceType type{};
    const YAML::Node typeNode = node["type"];
    if (r.name.front() == '%') {
        if (typeNode)
            Fail(typeNode, v.label + " is a direct address, which takes its type from its third character; "
                                     "type is for a named variable");
        type = modZeva::DirectAddressType(r.name);
    } else {
        if (!typeNode)
            Fail(node, "the named variable " + v.label + " needs a type: BIT, BYTE, WORD, DWORD or LWORD");
        const std::string typeName = modZeva::UpperCase(Scalar(typeNode, "type"));
        const modZeva::DeviceType* named = modZeva::DeviceTypeFromName(typeName);
        if (!named)
            Fail(typeNode, "unknown type '" + typeNode.Scalar() + "' (expected BIT, BYTE, WORD, DWORD or LWORD)");
        type = *named;
    }
    r.type = type.code;
    r.dataSize = type.size;

    if (const YAML::Node formatNode = node["format"]) {
        const std::string name = Lower(Scalar(formatNode, "format"));
        const auto format = modZeva::ValueFormatFromName(name);
        if (!format || *format == modZeva::ValueFormat::Hex || *format == modZeva::ValueFormat::Binary)
            Fail(formatNode, "unknown format '" + formatNode.Scalar() + "' (expected unsigned, signed or float)");
        v.format = *format;
    }
    if (!modZeva::FormatSuits(v.format, std::size_t(type.size))) {
        const std::string what = type.name.empty() ? "of no type" : "a " + std::string(type.name);
        Fail(node["format"] ? node["format"] : node,
             v.format == modZeva::ValueFormat::Float ? "float is for DWORD and LWORD variables; " + v.label + " is " + what
                                                     : v.label + " is " + what + ", which has no value to show");
    }
    // In English: the window's texts for these are its own.
    if (const auto checked = client::Engine::Check(r); checked != modZeva::SendResult::Sent) {
        Fail(nameNode, v.label
                 + (checked == modZeva::SendResult::BadNameChar
                        ? ": the name has a character outside U+0001 to U+00FF, which a request cannot carry"
                        : ": the name is too long for a request (at most 255 bytes of body)"));
    }
    return v;
}

Module ParseModule(const YAML::Node& node)
{
    CheckKeys(node, {"protocol", "port", "timeout", "probe_timeout", "retries", "status", "variables"}, "a module");
    Module m;
    if (const YAML::Node p = node["protocol"]) {
        const std::string name = Lower(Scalar(p, "protocol"));
        if (name != "tcp" && name != "udp")
            Fail(p, "unknown protocol '" + p.Scalar() + "' (expected tcp or udp)");
        m.protocol = name == "udp" ? platform::Protocol::Udp : platform::Protocol::Tcp;
    }
    const bool udp = m.protocol == platform::Protocol::Udp;
    m.port = udp ? kUdpPort : kTcpPort;
    if (const YAML::Node p = node["port"]) {
        const auto port = modZeva::ParseWhole(Scalar(p, "port"), 1, 65535);
        if (!port)
            Fail(p, "bad port '" + p.Scalar() + "' (expected 1 to 65535)");
        m.port = static_cast<std::uint16_t>(*port);
    }
    if (const YAML::Node t = node["timeout"]) {
        const auto us = ParseDurationUs(Scalar(t, "timeout"));
        if (!us || *us <= 0 || *us > kMaxTimeoutUs)
            Fail(t, "bad timeout '" + t.Scalar() + "' (expected a duration such as 500ms or 1s, at most 10m)");
        m.timeoutUs = *us;
    }
    if (const YAML::Node t = node["probe_timeout"]) {
        const auto us = ParseDurationUs(Scalar(t, "probe_timeout"));
        if (!us || *us <= 0 || *us > kMaxTimeoutUs)
            Fail(t, "bad probe_timeout '" + t.Scalar() + "' (expected a duration such as 5s, at most 10m)");
        m.probeTimeoutUs = *us;
    }
    if (const YAML::Node r = node["retries"]) {
        const auto retries = modZeva::ParseWhole(Scalar(r, "retries"), 0, kMaxRetries);
        if (!retries)
            Fail(r, "bad retries '" + r.Scalar() + "' (expected 0 to " + std::to_string(kMaxRetries) + ")");
        if (*retries > 0 && !udp)
            Fail(r, "retries is for udp; over tcp a request that timed out is not sent again");
        m.retries = static_cast<int>(*retries);
    }
    if (const YAML::Node s = node["status"]) {
        if (!YAML::convert<bool>::decode(s, m.status))
            Fail(s, "bad status '" + Scalar(s, "status") + "' (expected true or false)");
    }
    if (const YAML::Node vars = node["variables"]; vars && !vars.IsNull()) {
        if (!vars.IsSequence())
            Fail(vars, "variables must be a list");
        std::set<std::string> seen;
        for (const YAML::Node& v : vars) {
            ProbeVariable variable = ParseVariable(v);
            if (!seen.insert(variable.label).second)
                Fail(v, "the variable " + variable.label + " is listed twice");
            m.variables.push_back(std::move(variable));
        }
    }
    if (m.variables.empty() && !m.status)
        Fail(node, "a module needs a variable, or status: true");
    return m;
}

Config Parse(const YAML::Node& root)
{
    Config config;
    if (!root || root.IsNull())
        Fail(root, "the configuration is empty");
    CheckKeys(root, {"allow", "modules"}, "the configuration");
    if (const YAML::Node allow = root["allow"]; allow && !allow.IsNull()) {
        if (!allow.IsSequence())
            Fail(allow, "allow must be a list of addresses, address ranges and host names");
        for (const YAML::Node& entry : allow)
            config.allow.push_back(ParseAllow(entry));
    }
    const YAML::Node modules = root["modules"];
    if (!modules || modules.IsNull())
        Fail(root, "no modules");
    if (!modules.IsMap())
        Fail(modules, "modules must be a map of names to modules");
    for (const auto& entry : modules) {
        const std::string& name = Scalar(entry.first, "a module name");
        if (!config.modules.emplace(name, ParseModule(entry.second)).second)
            Fail(entry.first, "the module '" + name + "' is defined twice");
    }
    return config;
}

std::string Where(const std::string& file, const YAML::Mark& mark)
{
    // A mark of nothing (a key left without a value) points at the start.
    const int line = mark.line >= 0 ? mark.line + 1 : 1;
    const int column = mark.column >= 0 ? mark.column + 1 : 1;
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": ";
}

} // namespace

bool Config::Allows(const std::string& host) const
{
    std::string error;
    const auto parsed = client::ParseHostPort(host, {.port = 1, .bareIpv6 = true}, &error);
    if (!parsed)
        return false;
    const auto& address = parsed->host.address;
    for (const AllowEntry& entry : allow) {
        if (entry.prefix < 0 ? !address && entry.name == host : address && address->InRange(entry.network, entry.prefix))
            return true;
    }
    return false;
}

Loaded ParseConfig(const std::string& text, const std::string& file)
{
    Loaded loaded;
    try {
        loaded.config = std::make_shared<const Config>(Parse(YAML::Load(text)));
    } catch (const Wrong& wrong) {
        loaded.error = Where(file, wrong.mark) + wrong.message;
    } catch (const YAML::Exception& e) {
        loaded.error = Where(file, e.mark) + e.msg;
    }
    return loaded;
}

Loaded LoadConfig(const std::string& path)
{
    Loaded loaded;
    // A FIFO or a device would hold the reading thread, or never end.
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
        loaded.error = path + ":1:1: cannot read the file: it does not exist";
        return loaded;
    }
    if (!std::filesystem::is_regular_file(status)) {
        loaded.error = path + ":1:1: not a regular file";
        return loaded;
    }
    if (std::filesystem::file_size(path, ec) > kMaxFileBytes || ec) {
        loaded.error = path + ":1:1: larger than 1 MiB";
        return loaded;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    if (!in || in.bad()) {
        loaded.error = path + ":1:1: cannot read the file";
        return loaded;
    }
    return ParseConfig(text.str(), path);
}

bool ParseTarget(std::string_view text, std::uint16_t port, Target* target, std::string* error)
{
    const auto parsed = client::ParseHostPort(text, {.port = port}, error);
    if (!parsed)
        return false;
    target->host = parsed->host.ToString();
    target->port = parsed->port;
    return true;
}

std::int64_t ProbeDeadlineUs(std::string_view timeoutHeader, std::int64_t offsetUs, std::int64_t probeTimeoutUs)
{
    // Spaces around the number are the header's, not the number's.
    while (!timeoutHeader.empty() && (timeoutHeader.front() == ' ' || timeoutHeader.front() == '\t'))
        timeoutHeader.remove_prefix(1);
    while (!timeoutHeader.empty() && (timeoutHeader.back() == ' ' || timeoutHeader.back() == '\t'))
        timeoutHeader.remove_suffix(1);
    double seconds = 0;
    const auto [end, ec] = std::from_chars(timeoutHeader.data(), timeoutHeader.data() + timeoutHeader.size(), seconds);
    const bool usable = !timeoutHeader.empty() && ec == std::errc{} && end == timeoutHeader.data() + timeoutHeader.size()
        && std::isfinite(seconds) && seconds > 0;
    std::int64_t deadline = kNoHeaderDeadlineUs;
    if (usable) {
        // In double until it is below ten minutes, so that no header overflows.
        const double offset = std::min(double(offsetUs) / 1e6, seconds / 2);
        const double probe = std::min(seconds - offset, double(kMaxTimeoutUs) / 1e6);
        deadline = std::max<std::int64_t>(1, std::llround(probe * 1e6));
    }
    if (probeTimeoutUs > 0)
        deadline = std::min(deadline, probeTimeoutUs);
    return std::min(deadline, kMaxTimeoutUs);
}

std::optional<std::int64_t> ParseDurationUs(std::string_view text)
{
    static constexpr struct {
        std::string_view unit;
        std::int64_t us;
    } kUnits[] = {{"h", 3'600'000'000}, {"m", 60'000'000}, {"s", 1'000'000}, {"ms", 1'000}};
    if (text.empty())
        return std::nullopt;
    std::int64_t total = 0;
    std::size_t next = 0; // units go from the largest down, each once
    while (!text.empty()) {
        std::size_t digits = 0;
        while (digits < text.size() && digits < 10 && text[digits] >= '0' && text[digits] <= '9')
            ++digits;
        if (digits == 0 || digits == text.size())
            return std::nullopt;
        // Ten digits at the most: the number is there and fits.
        const auto n = static_cast<std::int64_t>(*modZeva::ParseWhole(text.substr(0, digits), 0, 9'999'999'999));
        text.remove_prefix(digits);
        std::size_t u = next;
        // "ms" before "m": the longer unit that matches.
        std::size_t found = std::size(kUnits);
        for (; u < std::size(kUnits); ++u) {
            const std::string_view unit = kUnits[u].unit;
            const bool matches = text.substr(0, unit.size()) == unit
                && !(unit == "m" && text.size() > 1 && text[1] == 's');
            if (matches) {
                found = u;
                break;
            }
        }
        if (found == std::size(kUnits))
            return std::nullopt;
        constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
        if (n > kMax / kUnits[found].us || total > kMax - n * kUnits[found].us)
            return std::nullopt;
        total += n * kUnits[found].us;
        text.remove_prefix(kUnits[found].unit.size());
        next = found + 1;
    }
    return total;
}

} // namespace exporter
