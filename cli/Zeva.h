#pragma once

#include "Options.h"

#include <Engine.h>

#include <QStringList>

#include <cstdio>

namespace cli {

// Exit statuses; with several, the highest applies.
enum ExitStatus {
    kExitOk = 0,
    kExitDeviceError = 1, // a device error or a malformed answer
    kExitUsage = 2,       // bad command line or refused input
    kExitTransport = 3,   // no connection, closed by the device, or no answer at all
    kExitThreshold = 4,   // --max-rtt or --max-loss exceeded
};

int StatusOf(const Options& options, const client::RunStatistics& stats, client::Ending ending);

// The whole program: parses the arguments, runs the exchanges in the event
// loop of the QCoreApplication that the caller has made, prints and returns
// the exit status. SIGINT and SIGTERM end the run with its summary.
int Run(const QStringList& args, std::FILE* out, std::FILE* err);

} // namespace cli
