// What the window's log costs continuous reading. The real window (on the
// offscreen platform unless QT_QPA_PLATFORM says otherwise) reads %MW0
// continuously from zeva-sim, run as a separate process on free loopback
// ports, alternately without and with the log, as zeva-client --log sets it
// up: a CSV row per answer, written out every second.
//
//   zeva-bench-log [seconds per run] [rounds]
//
// Prints the exchanges per second of each run, the medians and the
// slowdown with the log on, then the cost of one row on its own.

#include <ExchangeLog.h>
#include <frmClient.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Counts answers, and hands them on to the log when there is one: the run
// without the log pays for the count too, so the difference is the log.
struct Counter final : client::IExchangeObserver {
    client::IExchangeObserver* next = nullptr;
    long answers = 0;
    void Exchanged(const client::Exchange& exchange) override
    {
        ++answers;
        if (next)
            next->Exchanged(exchange);
    }
};

struct Ports {
    quint16 tcp = 0;
    quint16 udp = 0;
};

bool StartSimulator(QProcess& sim, Ports& ports)
{
    sim.setProgram(QStringLiteral(ZEVA_SIM_PATH));
    sim.setArguments({QStringLiteral("--tcp-port"), QStringLiteral("0"), QStringLiteral("--udp-port"),
                      QStringLiteral("0")});
    sim.start();
    QDeadlineTimer deadline(10000);
    while (!sim.canReadLine() && sim.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
    }
    const QString line = QString::fromLocal8Bit(sim.readLine());
    const auto match = QRegularExpression(QStringLiteral("tcp (\\d+) udp (\\d+)")).match(line);
    if (!match.hasMatch()) {
        std::printf("zeva-sim did not start: %s\n", qPrintable(line));
        return false;
    }
    ports = {match.captured(1).toUShort(), match.captured(2).toUShort()};
    return true;
}

double Run(bool udp, bool logOn, const QString& logPath, Ports ports, double seconds)
{
    client::ExchangeLog log;
    Counter counter;
    QTimer flush;
    if (logOn) {
        if (!log.Open(logPath.toStdString())) {
            std::printf("cannot open %s\n", qPrintable(logPath));
            std::exit(1);
        }
        counter.next = &log;
        flush.setInterval(1000);
        QObject::connect(&flush, &QTimer::timeout, [&log] { log.Flush(); });
        flush.start();
    }
    ui::frmClient window({}, {ports.tcp, ports.udp});
    window.SetExchangeObserver(&counter);
    if (udp)
        window.SelectUdp();
    window.show();
    window.findChild<QPushButton*>(QStringLiteral("cmdConnect"))->click();
    auto* txtIpAdd = window.findChild<QLineEdit*>(QStringLiteral("txtIpAdd"));
    QDeadlineTimer connectDeadline(10000);
    while (!udp && txtIpAdd->isEnabled() && !connectDeadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    auto* readCont = window.findChild<QPushButton*>(QStringLiteral("cmdReadCont"));
    const auto t0 = std::chrono::steady_clock::now();
    readCont->click();
    QDeadlineTimer deadline(static_cast<qint64>(seconds * 1000));
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    readCont->click();
    const long answers = counter.answers;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    window.SetExchangeObserver(nullptr);
    window.close();
    return static_cast<double>(answers) / elapsed;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double RowCost(const QString& logPath)
{
    client::ExchangeLog log;
    if (!log.Open(logPath.toStdString()))
        return 0;
    client::Exchange exchange;
    exchange.elapsedMs = 1;
    exchange.state = "0000";
    exchange.value = "1234";
    constexpr long kRows = 1000000;
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < kRows; ++i)
        log.Exchanged(exchange);
    log.Flush();
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    std::printf("one row on its own (formatting and writing, %ld rows): %.0f ns\n", kRows, ns / kRows);
    return ns / kRows;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (seconds <= 0 || rounds <= 0) {
        std::printf("usage: zeva-bench-log [seconds per run] [rounds]\n");
        return 2;
    }

    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("bench.csv"));
    QProcess sim;
    Ports ports;
    if (!dir.isValid() || !StartSimulator(sim, ports))
        return 1;

    double fastestRate = 0;
    for (const bool udp : {false, true}) {
        std::vector<double> off;
        std::vector<double> on;
        for (int round = 0; round < rounds; ++round) {
            off.push_back(Run(udp, false, logPath, ports, seconds));
            on.push_back(Run(udp, true, logPath, ports, seconds));
            std::printf("%s round %d: without log %.0f/s, with log %.0f/s\n", udp ? "UDP" : "TCP", round + 1,
                        off.back(), on.back());
        }
        const double offMedian = Median(off);
        const double onMedian = Median(on);
        std::printf("%s continuous reading, median of %d runs of %.1f s: without log %.0f exchanges/s, with log "
                    "%.0f exchanges/s, slowdown %.1f %%\n",
                    udp ? "UDP" : "TCP", rounds, seconds, offMedian, onMedian,
                    100.0 * (offMedian - onMedian) / offMedian);
        fastestRate = std::max(fastestRate, offMedian);
    }
    // Less noisy than the runs on a busy machine: the row's share of one
    // exchange at the faster of the two rates without the log.
    const double rowNs = RowCost(logPath);
    std::printf("a row's share of one exchange at %.0f exchanges/s: %.1f %%\n", fastestRate,
                rowNs * fastestRate / 1e7);

    sim.terminate();
    sim.waitForFinished(5000);
    return 0;
}
