#pragma once

#include "Options.h"

#include <Engine.h>

#include <QStringList>

#include <cstdio>
#include <functional>
#include <string>

namespace cli {

// Exit statuses; with several, the highest applies.
enum ExitStatus {
    kExitOk = 0,
    kExitDeviceError = 1, // a device error or a malformed answer
    kExitUsage = 2,       // bad command line or refused input
    kExitTransport = 3,   // no connection, closed by the device, a request lost with its connection, or no answer at all
    kExitThreshold = 4,   // --max-rtt or --max-loss exceeded
};

int StatusOf(const Options& options, const client::RunStatistics& stats, client::Ending ending);

// The address to reach `host` at: a literal address as it is, a host name
// looked up, its first IPv4 address or else its first. Empty, with `error`
// set, when there is none.
std::string LookUpHost(const std::string& host, std::string* error);

using HostLookUp = std::function<std::string(const std::string& host, std::string* error)>;

// The whole program: parses the arguments, runs the exchanges in the event
// loop of the QCoreApplication that the caller has made, prints and returns
// the exit status. SIGINT and SIGTERM end the run with its summary. The
// device's host name is looked up with `lookUp` once, before the first
// request, so that no round trip holds a look-up.
int Run(const QStringList& args, std::FILE* out, std::FILE* err, const HostLookUp& lookUp = LookUpHost);

} // namespace cli
