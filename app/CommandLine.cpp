#include "CommandLine.h"

#include <ProgramHelp.h>

#include <QCoreApplication>

namespace app {

namespace {

constexpr int kUsageError = 2;

} // namespace

CommandLine::CommandLine(const QStringList& arguments)
{
    parser_.setApplicationDescription(QStringLiteral(
        "Opens the Zeva Client window: read, write and poll one PLC variable over\n"
        "Ethernet (TCP port 2004 or UDP port 2005) and see every response time."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption host({QStringLiteral("H"), QStringLiteral("host")},
                                  QStringLiteral("Fill in the device's address (default 127.0.0.1)."),
                                  QStringLiteral("ADDR"));
    const QCommandLineOption udp({QStringLiteral("u"), QStringLiteral("udp")},
                                 QStringLiteral("Choose UDP instead of TCP."));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Append one CSV row per exchange to FILE."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption traffic(QStringLiteral("traffic"),
                                     QStringLiteral("Open the traffic window at start (F12 opens it later)."));
    parser_.addOptions({help, version, host, udp, log, traffic});

    if (!parser_.parse(arguments)) {
        error_ = parser_.errorText();
    } else if (parser_.isSet(help)) {
        print_ = Print::Help;
    } else if (parser_.isSet(version)) {
        print_ = Print::Version;
    } else if (!parser_.positionalArguments().isEmpty()) {
        error_ = QStringLiteral("Unexpected argument '%1'.").arg(parser_.positionalArguments().constFirst());
    } else if (parser_.values(host).size() > 1 || parser_.values(log).size() > 1) {
        error_ = QStringLiteral("Options 'host' and 'log' may be given once each.");
    } else {
        options_.host = parser_.value(host).trimmed();
        options_.udp = parser_.isSet(udp);
        options_.logPath = parser_.value(log);
        options_.traffic = parser_.isSet(traffic);
        if (parser_.isSet(host) && options_.host.isEmpty())
            error_ = QStringLiteral("Option 'host' needs an address.");
        else if (parser_.isSet(log) && options_.logPath.isEmpty())
            error_ = QStringLiteral("Option 'log' needs a file name.");
    }
    if (!error_.isEmpty())
        print_ = Print::Error;
    if (print_ != Print::Nothing)
        exitStatus_ = print_ == Print::Error ? kUsageError : 0;
}

QString CommandLine::Text() const
{
    switch (print_) {
    case Print::Help:
        return platform::HelpText(parser_, QStringLiteral("zeva-client"));
    case Print::Version:
        return QStringLiteral("zeva-client %1\n").arg(QStringLiteral(ZEVA_VERSION));
    case Print::Error:
        return QStringLiteral("zeva-client: %1\nTry 'zeva-client --help'.\n").arg(error_);
    case Print::Nothing:
        break;
    }
    return {};
}

} // namespace app
