#include "Simulator.h"

#include <SignalWatch.h>

#include <QCoreApplication>

#include <cstdio>
#include <sys/resource.h>

namespace {

// Every connection takes a descriptor: allow as many as the system lets us.
void raiseDescriptorLimit()
{
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void printLine(FILE* stream, const QString& line)
{
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEVA_VERSION));
    const QStringList args = QCoreApplication::arguments();
    if (sim::helpRequested(args)) {
        std::fputs(sim::usageText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (sim::versionRequested(args)) {
        printLine(stdout, QStringLiteral("zeva-sim ") + QCoreApplication::applicationVersion());
        return 0;
    }
    QString error;
    const auto config = sim::parseArguments(args, &error);
    if (!config) {
        printLine(stderr, QStringLiteral("zeva-sim: ") + error);
        return 2;
    }
    const auto signalWatch = platform::MakeSignalWatch();
    if (!signalWatch->Start([&app] { app.quit(); })) {
        printLine(stderr, QStringLiteral("zeva-sim: cannot install signal handlers"));
        return 1;
    }

    raiseDescriptorLimit();
    sim::Simulator simulator(*config);
    QObject::connect(&simulator, &sim::Simulator::logLine, [](const QString& line) { printLine(stdout, line); });
    if (!simulator.start(&error)) {
        printLine(stderr, QStringLiteral("zeva-sim: ") + error);
        return 1;
    }
    printLine(stdout, QStringLiteral("zeva-sim listening on %1 tcp %2 udp %3")
                          .arg(config->bind.toString()).arg(simulator.tcpPort()).arg(simulator.udpPort()));
    return app.exec();
}
