#pragma once

#include <Engine.h>
#include <ValueFormat.h>

#include <QString>
#include <QStringList>

#include <optional>

namespace cli {

struct Options {
    client::RunSettings run;
    client::Request request;
    QString label;        // the variable as shown in the summary, or "status"
    bool summary = false; // poll, --count or --duration
    bool quiet = false;
    bool json = false;
    QString csvPath;
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

} // namespace cli
