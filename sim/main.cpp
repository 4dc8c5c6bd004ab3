#include "Simulator.h"

#include <FileLimit.h>
#include <SignalWatch.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

void printLine(FILE* stream, const QString& line)
{
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// --control: a test that started the simulator as a separate process reads
// and sets its memory and reads its counts through commands on standard
// input, one a line, each answered by one line starting with "= ":
//   read AREA OFFSET SIZE   = the bytes in hex (empty when out of range)
//   write AREA OFFSET HEX   = 1, or 0 when out of range
//   set NAME HEX            = 1, or 0 for an unknown name or a wrong size
//   get NAME                = the value in hex
//   counts                  = received answered connections refused
//   quit                    = 1 once every port is closed, and the simulator ends
// "closed" is printed each time a connection closes. The end of standard
// input ends the simulator too, so it never outlives its test.
void serveControl(QCoreApplication& app, sim::Simulator& simulator)
{
    QObject::connect(&simulator, &sim::Simulator::connectionClosed, [] { printLine(stdout, QStringLiteral("closed")); });
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(notifier, &QSocketNotifier::activated, [&app, &simulator, notifier, pending] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            notifier->setEnabled(false);
            app.quit();
            return;
        }
        pending->append(buffer, n);
        if (pending->size() > 1024 * 1024) { // no test sends lines this long
            app.quit();
            return;
        }
        for (qsizetype end; (end = pending->indexOf('\n')) >= 0;) {
            const QList<QByteArray> words = pending->left(end).trimmed().split(' ');
            pending->remove(0, end + 1);
            const QByteArray command = words.value(0);
            if (command == "quit") {
                simulator.stop();
                printLine(stdout, QStringLiteral("= 1"));
                notifier->setEnabled(false);
                app.quit();
                return;
            }
            const char area = words.value(1).isEmpty() ? '\0' : words.value(1).at(0);
            QString answer;
            if (command == "read" && words.size() == 4)
                answer = QString::fromLatin1(simulator.readArea(area, words[2].toInt(), words[3].toInt()).toHex());
            else if (command == "write" && words.size() == 4)
                answer = QString::number(simulator.writeArea(area, words[2].toInt(), QByteArray::fromHex(words[3])));
            else if (command == "set" && words.size() == 3)
                answer = QString::number(simulator.setVariable(words[1], QByteArray::fromHex(words[2])));
            else if (command == "get" && words.size() == 2)
                answer = QString::fromLatin1(simulator.variable(words[1]).toHex());
            else if (command == "counts")
                answer = QStringLiteral("%1 %2 %3 %4")
                             .arg(simulator.requestsReceived())
                             .arg(simulator.requestsAnswered())
                             .arg(simulator.connectionCount())
                             .arg(simulator.connectionsRefused());
            else
                answer = QStringLiteral("? ") + QString::fromLatin1(command);
            printLine(stdout, QStringLiteral("= ") + answer);
        }
    });
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

    // Every connection takes a descriptor: as many as the system allows.
    platform::posix::RaiseOpenFileLimit();
    QString error;
    sim::Simulator simulator(config);
    QObject::connect(&simulator, &sim::Simulator::logLine, [](const QString& text) { printLine(stdout, text); });
    if (!simulator.start(&error)) {
        printLine(stderr, QStringLiteral("zeva-sim: ") + error);
        return 1;
    }
    printLine(stdout, QStringLiteral("zeva-sim listening on %1 %2").arg(config.bind.toString(), simulator.portList()));
    if (config.control)
        serveControl(app, simulator);
    return app.exec();
}
