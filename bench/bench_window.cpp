// The window's continuous read (Read Cont) against a device already
// running, run by hand (not a test): exchanges per second over TCP and UDP,
// several rounds each in turn, and their medians. It uses nothing but Qt, so
// that the same measurement runs in the Linux build and, cross-built, under
// Wine: windows/window-rate.sh runs both against one zeva-sim.
//
//   zeva-bench-window --port TCP --udp-port UDP [--host ADDRESS]
//                     [--seconds S] [--rounds R] [--protocol tcp|udp|both]
//
// Run it on the offscreen platform (QT_QPA_PLATFORM=offscreen).

#include "BenchFakes.h"

#include <ClientLogic.h>
#include <frmClient.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {


using bench::NoEnd;
using bench::SilentBox;

// Runs the event loop until `done` holds or `seconds` have passed, looking
// every 10 ms.
void RunUntil(const std::function<bool()>& done, double seconds)
{
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done() || double(clock.elapsed()) / 1000 >= seconds)
            loop.quit();
    });
    look.start(10);
    if (!done())
        loop.exec();
}

struct Round {
    std::uint64_t exchanges = 0;
    double seconds = 0;
    bool failed = false;
};

// One window, connected, reading continuously for `seconds`.
Round ReadCont(bool udp, const QString& host, client::Ports ports, double seconds)
{
    SilentBox box;
    NoEnd end;
    ui::frmClient window(ui::Services{&box, nullptr, &end, nullptr}, ports);
    window.show();
    window.findChild<QLineEdit*>(QStringLiteral("txtIpAdd"))->setText(host);
    if (udp)
        window.findChild<QRadioButton*>(QStringLiteral("optUDP"))->click();
    window.findChild<QPushButton*>(QStringLiteral("cmdConnect"))->click();
    auto* ip = window.findChild<QLineEdit*>(QStringLiteral("txtIpAdd"));
    if (!udp)
        RunUntil([&] { return !ip->isEnabled() || end.ended; }, 10);

    auto* cont = window.findChild<QPushButton*>(QStringLiteral("cmdReadCont"));
    const client::ClientLogic& logic = window.Logic();
    const std::uint64_t before = logic.Answers();
    QElapsedTimer clock;
    clock.start();
    cont->click();
    RunUntil([&] { return end.ended || logic.CmdState() != 2 || double(clock.elapsed()) / 1000 >= seconds; },
             seconds);
    const double took = double(clock.nsecsElapsed()) / 1e9;
    const std::uint64_t answers = logic.Answers() - before;
    const bool failed = end.ended || logic.CmdState() != 2 || box.shown > 0;
    if (!end.ended)
        cont->click();
    RunUntil([] { return false; }, 0.05);
    if (box.shown)
        std::printf("  %d message boxes, the last: %s\n", box.shown, box.last.c_str());
    return {answers, took, failed};
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"host", "The device's address.", "ADDRESS", "127.0.0.1"},
                       {"port", "Its TCP port.", "PORT"},
                       {"udp-port", "Its UDP port.", "PORT"},
                       {"seconds", "Seconds of reading a round.", "S", "3"},
                       {"rounds", "Rounds of each protocol.", "R", "5"},
                       {"protocol", "tcp, udp or both.", "P", "both"}});
    parser.process(app);
    client::Ports ports;
    bool ok = true;
    ports.tcp = static_cast<std::uint16_t>(parser.value("port").toUInt(&ok));
    bool okUdp = true;
    ports.udp = static_cast<std::uint16_t>(parser.value("udp-port").toUInt(&okUdp));
    const double seconds = parser.value("seconds").toDouble();
    const int rounds = parser.value("rounds").toInt();
    const QString protocol = parser.value("protocol");
    if (!ok || !okUdp || ports.tcp == 0 || ports.udp == 0 || seconds <= 0 || rounds <= 0
        || (protocol != "tcp" && protocol != "udp" && protocol != "both")) {
        std::fprintf(stderr, "zeva-bench-window: --port and --udp-port are needed, --seconds and --rounds above 0\n");
        return 2;
    }

    std::vector<bool> kinds;
    if (protocol != "udp")
        kinds.push_back(false);
    if (protocol != "tcp")
        kinds.push_back(true);
    std::vector<std::vector<double>> rates(kinds.size());
    int failures = 0;
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            const Round round = ReadCont(kinds[k], parser.value("host"), ports, seconds);
            failures += round.failed;
            const double rate = round.seconds > 0 ? double(round.exchanges) / round.seconds : 0;
            rates[k].push_back(rate);
            std::printf("round %d %s: %llu exchanges in %.2f s, %.0f/s%s\n", r + 1, kinds[k] ? "UDP" : "TCP",
                        static_cast<unsigned long long>(round.exchanges), round.seconds, rate,
                        round.failed ? " (the reading stopped early)" : "");
            std::fflush(stdout);
        }
    }
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const auto [low, high] = std::minmax_element(rates[k].begin(), rates[k].end());
        std::printf("%s Read Cont: median %.0f exchanges/s over %d rounds of %.1f s (%.0f..%.0f)\n",
                    kinds[k] ? "UDP" : "TCP", Median(rates[k]), rounds, seconds, *low, *high);
    }
    return failures ? 1 : 0;
}
