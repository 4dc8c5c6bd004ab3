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
    const sim::CommandLine line = sim::parseCommandLine(QCoreApplication::arguments());
    switch (line.action) {
    case sim::CommandLine::Help:
        std::fputs(sim::helpText().toLocal8Bit().constData(), stdout);
        return 0;
    case sim::CommandLine::Version:
        printLine(stdout, QStringLiteral("zeva-sim ") + QCoreApplication::applicationVersion());
        return 0;
    case sim::CommandLine::Error:
        printLine(stderr, QStringLiteral("zeva-sim: ") + line.error);
        return 2;
    case sim::CommandLine::Run:
        break;
    }
    const sim::Config& config = line.config;
    const auto signalWatch = platform::MakeSignalWatch();
    if (!signalWatch->Start([&app] { app.quit(); })) {
        printLine(stderr, QStringLiteral("zeva-sim: cannot install signal handlers"));
        return 1;
    }

    raiseDescriptorLimit();
    QString error;
    sim::Simulator simulator(config);
    QObject::connect(&simulator, &sim::Simulator::logLine, [](const QString& text) { printLine(stdout, text); });
    if (!simulator.start(&error)) {
        printLine(stderr, QStringLiteral("zeva-sim: ") + error);
        return 1;
    }
    printLine(stdout, QStringLiteral("zeva-sim listening on %1 %2").arg(config.bind.toString(), simulator.portList()));
    return app.exec();
}
