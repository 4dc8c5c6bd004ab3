#pragma once

#include <Engine.h>
#include <ValueFormat.h>

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// One device of the run.
struct Device {
    std::string host; // as given: an address or a host name
    std::uint16_t port = 0;
    std::string label; // HOST:PORT as shown, an IPv6 address in brackets
};

// One request of every round, and how it is named in output.
struct Variable {
    client::Request request;
    QString label; // the variable without its :TYPE, upper-cased; "status" or "send"
};

struct Options {
    client::RunSettings run; // host and port: the first device's
    client::Request request; // the first variable's
    QString label;           // the first variable's
    std::vector<Device> devices;     // in the order given, at least one
    std::vector<Variable> variables; // in the order given, at least one
    // Output names the device and the variable on every line, and the
    // summary is a table.
    bool Many() const { return devices.size() > 1 || variables.size() > 1; }
    bool summary = false; // poll, --count or --duration
    bool quiet = false;
    bool json = false;
    bool timestamps = false; // -D: each exchange line starts with its Unix time
    QString csvPath;
    QString pcapPath; // --pcap: every frame to a capture file
    modZeva::ValueFormat format = modZeva::ValueFormat::Hex; // values shown, and write's value read
    std::optional<double> maxRttMs;
    std::optional<double> maxLossPercent;
};

struct Parsed {
    enum Kind {
        Run,
        Help,
        Version,
        UsageError, // message: what is wrong with the command line
        Refused,    // message: why the request cannot be sent
    } kind = UsageError;
    Options options;
    QString message;
};

// args as QCoreApplication::arguments() gives them, program name first.
// Checks the request as it would be built, so that a refused one never
// reaches the network.
Parsed ParseArguments(const QStringList& args);

QString HelpText();

// Adds the devices that `text` names: HOST, HOST:PORT, [IPv6]:PORT or
// HOST:FIRST-LAST (one device a port), an IPv6 address alone without
// brackets; `port` for a device named without one. False with a message.
bool ParseDevices(const QString& text, std::uint16_t port, std::vector<Device>& out, QString* error);

} // namespace cli
