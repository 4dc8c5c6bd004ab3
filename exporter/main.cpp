#include "Exporter.h"

#include <EventLoop.h>
#include <HexText.h>
#include <OpenFiles.h>
#include <ProgramHelp.h>
#include <SignalWatch.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QNetworkProxy>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kExitFailure = 1; // the address cannot be listened on
constexpr int kExitUsage = 2;   // bad command line or configuration

void Print(std::FILE* f, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), f);
    std::fflush(f);
}

} // namespace

int main(int argc, char* argv[])
{
    platform::UseScalableEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zeva-exporter"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEVA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prometheus exporter for PLC variables: on each GET /probe?target=HOST[:PORT]&module=NAME it reads\n"
        "the module's variables from the device once and answers with their values and round trips."));
    const QCommandLineOption configFile{"config.file", "Configuration file (default /etc/zeva/exporter.yml).", "FILE",
                                        "/etc/zeva/exporter.yml"};
    const QCommandLineOption listen{"web.listen-address",
                                    "Address to serve HTTP on: ADDR:PORT, [IPv6]:PORT or :PORT for every address "
                                    "(default :9810; port 0 picks a free one, which the log names).",
                                    "ADDR:PORT", ":9810"};
    const QCommandLineOption logLevel{"log.level", "Least level logged: debug, info, warn or error (default info).",
                                      "LEVEL", "info"};
    const QCommandLineOption webConfig{"web.config.file",
                                       "Web configuration file: HTTPS (tls_server_config) and passwords "
                                       "(basic_auth_users), read again when it changes (default: none).",
                                       "FILE"};
    const QCommandLineOption timeoutOffset{"web.timeout-offset",
                                           "Seconds taken off a scraper's timeout for the answer's way back "
                                           "(default 0.5).",
                                           "SECONDS", "0.5"};
    const QCommandLineOption maxConnections{"web.max-connections",
                                            "HTTP connections open at once; at the limit the one idle longest "
                                            "is closed for a new one (default 2000).",
                                            "N", "2000"};
    const QCommandLineOption check{"config.check", "Check the configuration file and exit."};
    const QCommandLineOption help{{"h", "help"}, "Show this help."};
    const QCommandLineOption version{"version", "Show the version."};
    parser.addOptions({configFile, listen, webConfig, timeoutOffset, maxConnections, logLevel, check, help, version});
    const auto usage = [](const QString& text) {
        Print(stderr, QStringLiteral("zeva-exporter: %1\nTry 'zeva-exporter --help' for more information.\n").arg(text));
        return kExitUsage;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        Print(stdout, platform::HelpText(parser, QStringLiteral("zeva-exporter")));
        return 0;
    }
    if (parser.isSet(version)) {
        Print(stdout, QStringLiteral("zeva-exporter %1\n").arg(QStringLiteral(ZEVA_VERSION)));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().front()));
    const auto level = exporter::LogLevelFromName(parser.value(logLevel).toStdString());
    if (!level)
        return usage(QStringLiteral("bad --log.level '%1': expected debug, info, warn or error").arg(parser.value(logLevel)));
    QHostAddress address;
    quint16 port = 0;
    if (!exporter::ParseListenAddress(parser.value(listen), &address, &port))
        return usage(QStringLiteral("bad --web.listen-address '%1': expected ADDR:PORT, [IPv6]:PORT or :PORT")
                         .arg(parser.value(listen)));

    exporter::WebOptions web;
    bool ok = false;
    const double offset = parser.value(timeoutOffset).toDouble(&ok);
    if (!ok || !(offset >= 0 && offset < 600))
        return usage(QStringLiteral("bad --web.timeout-offset '%1': expected seconds from 0 to 600").arg(parser.value(timeoutOffset)));
    web.timeoutOffsetUs = std::llround(offset * 1e6);
    const auto cap = modZeva::ParseWhole(parser.value(maxConnections).toStdString(), 1, 100000);
    if (!cap)
        return usage(QStringLiteral("bad --web.max-connections '%1': expected 1 to 100000").arg(parser.value(maxConnections)));
    web.limits.maxConnections = std::size_t(*cap);
    if (parser.isSet(webConfig)) {
        web.configFile = parser.value(webConfig).toStdString();
        std::string error;
        if (!exporter::WebConfigFile(web.configFile).Current(&error)) {
            Print(stderr, QStringLiteral("zeva-exporter: %1\n").arg(QString::fromStdString(error)));
            return kExitUsage;
        }
    }

    const std::string path = parser.value(configFile).toStdString();
    if (parser.isSet(check)) {
        const exporter::Loaded loaded = exporter::LoadConfig(path);
        if (!loaded.config) {
            Print(stderr, QStringLiteral("zeva-exporter: %1\n").arg(QString::fromStdString(loaded.error)));
            return kExitUsage;
        }
        Print(stdout, QStringLiteral("%1: the configuration is good\n").arg(QString::fromStdString(path)));
        return 0;
    }

    const exporter::Log log(*level);
    exporter::Exporter exporter(path, log, web);
    std::string error;
    if (!exporter.Reload(&error)) {
        Print(stderr, QStringLiteral("zeva-exporter: %1\n").arg(QString::fromStdString(error)));
        return kExitUsage;
    }
    // A probe reaches its device directly, never through a proxy.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    platform::RaiseOpenFileLimit();

    QString listenError;
    const quint16 bound = exporter.Listen(address, port, &listenError);
    if (bound == 0) {
        log.Write(exporter::LogLevel::Error, "cannot listen",
                  exporter::Log::Pair("address", parser.value(listen).toStdString())
                      + exporter::Log::Pair("err", listenError.toStdString()));
        return kExitFailure;
    }
    const QString shown = address == QHostAddress::Any ? QString()
        : address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(address.toString())
                                                              : address.toString();
    log.Write(exporter::LogLevel::Info, "listening",
              exporter::Log::Pair("address", QStringLiteral("%1:%2").arg(shown).arg(bound).toStdString()));

    const auto stop = platform::MakeSignalWatch();
    const auto reload = platform::MakeReloadWatch();
    if (!stop->Start([] { QCoreApplication::exit(0); }) || !reload->Start([&exporter] { exporter.Reload(); })) {
        log.Write(exporter::LogLevel::Error, "cannot catch SIGINT, SIGTERM and SIGHUP");
        return kExitFailure;
    }
    const int status = QCoreApplication::exec();
    log.Write(exporter::LogLevel::Info, "stopped");
    return status;
}
