// Many devices from one thread, over real sockets against zeva-sim: each
// device ends on its own (done, refused, unreachable, out of time,
// interrupted from another's event) and the others go on, with every
// answer reported under its device and variable.

#include <SimProcess.h>

#include <Fleet.h>
#include <QtIoFactory.h>
#include <QtMonotonicClock.h>

#include <QTcpServer>
#include <QTest>

#include <map>
#include <utility>
#include <vector>

using client::Ending;

namespace {

struct Recorder final : client::IFleetEvents {
    client::Fleet* fleet = nullptr;
    std::vector<std::pair<std::size_t, std::size_t>> answers; // device, variable
    std::map<std::size_t, Ending> endings;
    int finished = 0;
    std::vector<int> allEnded;         // how many had finished, at each
    std::size_t answersAtFirstEnd = 0; // when device 0 ended

    void Fleet_Exchange(std::size_t device, const client::ExchangeReport& r) override
    {
        if (r.outcome == client::Outcome::Answer)
            answers.emplace_back(device, r.variable);
    }
    void Fleet_Finished(std::size_t device, Ending ending, std::string_view) override
    {
        ++finished;
        endings[device] = ending;
        if (device == 0) {
            answersAtFirstEnd = answers.size();
            fleet->Interrupt(4); // another device, from inside this one's event
        }
    }
    void Fleet_AllEnded() override { allEnded.push_back(finished); }
};

} // namespace

class tst_Fleet : public QObject {
    Q_OBJECT
private slots:
    void devicesEndOnTheirOwn();
};

void tst_Fleet::devicesEndOnTheirOwn()
{
    sim::Config config;
    config.tcpPort = 0;
    config.udpPort = 0;
    simtest::Simulator device(config);
    QTcpServer gap; // a port where nothing listens
    QVERIFY(gap.listen(QHostAddress::LocalHost));
    const quint16 gapPort = gap.serverPort();
    gap.close();
    QString error;
    QVERIFY2(device.start(&error), qPrintable(error));

    platform::QtIoFactory io;
    platform::QtMonotonicClock clock;
    Recorder events;
    client::Fleet fleet(5, io, clock, events);
    events.fleet = &fleet;

    const client::Request word{client::Command::Read, "%MW0", 2, 2, {}};
    const std::vector<client::Request> two{word, {client::Command::Read, "%MW1", 2, 2, {}}};
    const std::vector<client::Request> refused{{client::Command::Write, "%MW0", 2, 2, "XYZ"}};
    client::RunSettings settings;
    settings.port = device.tcpPort();
    settings.count = 3;
    client::RunSettings endless = settings;
    endless.count = 0;
    endless.intervalUs = 20'000;
    client::RunSettings unreachable = settings;
    unreachable.port = gapPort;

    QCOMPARE(fleet.Start(0, settings, two), modZeva::SendResult::Sent);
    QCOMPARE(fleet.Start(1, settings, refused), modZeva::SendResult::NotHex);
    QCOMPARE(events.endings[1], Ending::TransportFailure);
    fleet.Start(2, unreachable, two);
    fleet.Start(3, endless, std::span(&word, 1), 300'000);
    fleet.Start(4, endless, two);
    QCOMPARE(fleet.Running(), std::size_t(4));

    QTRY_VERIFY_WITH_TIMEOUT(!events.allEnded.empty(), 20000);
    QCOMPARE(events.allEnded, std::vector<int>{5}); // once, each device ended once
    using enum Ending;
    const std::map<std::size_t, Ending> endings{
        {0, Done}, {1, TransportFailure}, {2, TransportFailure}, {3, Interrupted}, {4, Interrupted}};
    QCOMPARE(events.endings, endings);

    // Device 0 read both variables in order, three rounds; device 3 went on
    // reading after it had ended, until its own limit.
    std::vector<std::size_t> first;
    std::size_t thirdAfter = 0;
    for (std::size_t i = 0; i < events.answers.size(); ++i) {
        const auto [d, variable] = events.answers[i];
        QVERIFY(d == 0 || d == 3 || d == 4);
        if (d == 0)
            first.push_back(variable);
        thirdAfter += d == 3 && i >= events.answersAtFirstEnd ? 1 : 0;
    }
    QCOMPARE(first, (std::vector<std::size_t>{0, 1, 0, 1, 0, 1}));
    QVERIFY(thirdAfter > 0);
}

QTEST_GUILESS_MAIN(tst_Fleet)
#include "tst_Fleet.moc"
