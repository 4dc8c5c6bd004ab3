// The exchange engine where a real device cannot misbehave on cue: timeouts,
// retries, late answers, the TCP reconnection, the period between requests,
// the connect timeout, the wrap of the sequence number and an interrupt
// during retries, a late answer in a round of several variables, an answer
// after its timeout, UDP garbage, a close right behind an answer.

#include <EngineFakes.h>
#include <Fakes.h>

#include <Engine.h>

#include <QTest>

using client::Ending;
using client::Outcome;

namespace {

// Read answers for a WORD holding 0x1234, device to client, with sequence
// numbers 1, 2 and 3 in bytes 14..15.
const QByteArray kAnswer1 = QByteArray::fromHex("564F524E2D4B454C54550000001101000E0000175500020000000000010002003412");
const QByteArray kAnswer2 = QByteArray::fromHex("564F524E2D4B454C54550000001102000E0000185500020000000000010002003412");
const QByteArray kAnswer3 = QByteArray::fromHex("564F524E2D4B454C54550000001103000E0000195500020000000000010002003412");
// The same with 0 in bytes 14..15, as a device that does not echo them sends.
const QByteArray kAnswer0 = QByteArray::fromHex("564F524E2D4B454C54550000001100000E0000165500020000000000010002003412");

std::vector<std::uint8_t> Bytes(const QByteArray& a)
{
    return {a.begin(), a.end()};
}

int SeqOf(const std::vector<std::uint8_t>& frame)
{
    return frame[14] | (frame[15] << 8);
}

struct Rig {
    FakeSocket socket;
    FakeTimer timer;
    FakeMonotonicClock clock;
    EngineRecorder events;
    client::Engine engine{socket, timer, clock, events};
    client::RunSettings settings;
    client::Request request{client::Command::Read, "%MW0", 2, 2, {}};

    explicit Rig(platform::Protocol protocol)
    {
        settings.protocol = protocol;
        settings.responseTimeoutUs = 1000;
    }

    void Arrive(const QByteArray& bytes)
    {
        socket.incoming.push_back(Bytes(bytes));
        engine.tcpClient_DataArrival(std::size_t(bytes.size()));
    }
};

} // namespace

class TestEngine : public QObject {
    Q_OBJECT

private slots:
    void udpRetryAndLateAnswer();
    void tcpTimeoutReconnects();
    void tcpGarbledBytesDropped();
    void periodWithoutCatchUp();
    void earlyWakeIsNoTimeout();
    void connectTimeout();
    void sequenceSkipsZero();
    void interruptDuringRetries();
    void lateAnswerOfAnotherVariable();
    void answerAfterItsTimeoutIsLate_data();
    void answerAfterItsTimeoutIsLate();
    void udpGarbageIsMalformed_data();
    void udpGarbageIsMalformed();
    void closeBehindAnswerLosesNothing();
};

void TestEngine::udpRetryAndLateAnswer()
{
    Rig rig(platform::Protocol::Udp);
    rig.settings.retries = 1;
    rig.settings.count = 2;
    QCOMPARE(rig.engine.Start(rig.settings, rig.request), modZeva::SendResult::Sent);
    QCOMPARE(rig.socket.connects, 0);
    QCOMPARE(rig.socket.sent.size(), std::size_t(1));
    QCOMPARE(SeqOf(rig.socket.sent[0]), 1);

    // No answer in time: the request goes again with a fresh number.
    rig.clock.now += 1000;
    QVERIFY(rig.timer.Fire());
    QCOMPARE(rig.socket.sent.size(), std::size_t(2));
    QCOMPARE(SeqOf(rig.socket.sent[1]), 2);

    // The first copy's answer comes now: taken, timed from the first send.
    rig.clock.now += 200;
    rig.Arrive(kAnswer1);
    QCOMPARE(rig.events.exchanges.size(), std::size_t(1));
    const auto& taken = rig.events.exchanges[0];
    QCOMPARE(taken.outcome, Outcome::Answer);
    QCOMPARE(taken.seq, std::optional<std::uint16_t>(1));
    QCOMPARE(taken.rtt, std::optional<std::int64_t>(1200));
    QCOMPARE(taken.value, std::string("1234"));
    QCOMPARE(taken.retries, 1);
    QCOMPARE(rig.socket.sent.size(), std::size_t(3));

    // The second copy's answer now belongs to an earlier request: late.
    rig.clock.now += 100;
    rig.Arrive(kAnswer2);
    QCOMPARE(rig.events.exchanges.size(), std::size_t(2));
    QCOMPARE(rig.events.exchanges[1].outcome, Outcome::Late);
    QCOMPARE(rig.events.exchanges[1].seq, std::optional<std::uint16_t>(2));
    rig.Arrive(kAnswer3);
    QCOMPARE(rig.events.ending, std::optional<Ending>(Ending::Done));

    const client::RunStatistics& s = rig.engine.Stats();
    QCOMPARE(s.sent, 2u);
    QCOMPARE(s.answered, 2u);
    QCOMPARE(s.retries, 1u);
    QCOMPARE(s.late, 1u);
    QCOMPARE(s.timeouts, 0u);
    QCOMPARE(s.LossPercent(), 0.0);
}

void TestEngine::tcpTimeoutReconnects()
{
    Rig rig(platform::Protocol::Tcp);
    rig.settings.count = 2;
    rig.engine.Start(rig.settings, rig.request);
    QCOMPARE(rig.socket.connects, 1);
    QVERIFY(rig.socket.sent.empty());
    rig.engine.tcpClient_Connect();
    QCOMPARE(rig.socket.sent.size(), std::size_t(1));

    // The device sends half an answer and stops: the half is malformed, the
    // request a timeout.
    rig.Arrive(kAnswer1.left(25));
    rig.clock.now += 1000;
    QVERIFY(rig.timer.Fire());
    QCOMPARE(rig.events.exchanges.size(), std::size_t(2));
    QCOMPARE(rig.events.exchanges[0].outcome, Outcome::Malformed);
    QCOMPARE(rig.events.exchanges[1].outcome, Outcome::Timeout);
    QCOMPARE(rig.socket.closes, 1);

    // A new connection before the next request, and nothing sent before it is up.
    QCOMPARE(rig.socket.connects, 2);
    QCOMPARE(rig.socket.sent.size(), std::size_t(1));
    rig.engine.tcpClient_Connect();
    QCOMPARE(rig.socket.sent.size(), std::size_t(2));
    QCOMPARE(SeqOf(rig.socket.sent[1]), 2);

    // The half answer held before is gone: the next answer is read whole.
    rig.clock.now += 50;
    rig.Arrive(kAnswer2);
    QCOMPARE(rig.events.exchanges.size(), std::size_t(3));
    QCOMPARE(rig.events.exchanges[2].outcome, Outcome::Answer);
    QCOMPARE(rig.events.exchanges[2].rtt, std::optional<std::int64_t>(50));
    QCOMPARE(rig.events.ending, std::optional<Ending>(Ending::Done));
    QCOMPARE(rig.engine.Stats().LossPercent(), 50.0);
}

void TestEngine::tcpGarbledBytesDropped()
{
    Rig rig(platform::Protocol::Tcp);
    rig.engine.Start(rig.settings, rig.request);
    rig.engine.tcpClient_Connect();

    // Twenty bytes whose byte 13 is the client's, claiming a 65535-byte body.
    rig.clock.now += 10;
    rig.Arrive(QByteArray::fromHex("564F524E2D4B454C5455000000330100FFFF0000"));
    QCOMPARE(rig.events.exchanges.size(), std::size_t(1));
    QCOMPARE(rig.events.exchanges[0].outcome, Outcome::Malformed);
    QCOMPARE(rig.engine.Stats().malformed, std::uint64_t(1));

    // Still outstanding: the answer that follows is taken, not held behind them.
    rig.clock.now += 10;
    rig.Arrive(kAnswer1);
    QCOMPARE(rig.events.exchanges.size(), std::size_t(2));
    QCOMPARE(rig.events.exchanges[1].outcome, Outcome::Answer);
    QCOMPARE(rig.events.exchanges[1].rtt, std::optional<std::int64_t>(20));
    QCOMPARE(rig.events.ending, std::optional<Ending>(Ending::Done));
}

void TestEngine::periodWithoutCatchUp()
{
    Rig rig(platform::Protocol::Udp);
    rig.settings.count = 3;
    rig.settings.intervalUs = 10'000;
    rig.settings.responseTimeoutUs = 100'000;
    const std::int64_t t0 = rig.clock.now;
    rig.engine.Start(rig.settings, rig.request);

    // An exchange longer than the period: the next request goes at once.
    rig.clock.now = t0 + 25'000;
    rig.Arrive(kAnswer1);
    QCOMPARE(rig.socket.sent.size(), std::size_t(2));

    // A short one: the next waits for its period, counted from the last start.
    rig.clock.now = t0 + 26'000;
    rig.Arrive(kAnswer2);
    QCOMPARE(rig.socket.sent.size(), std::size_t(2));
    QCOMPARE(rig.timer.armed, std::optional<std::int64_t>(9'000));
    rig.clock.now = t0 + 35'000;
    QVERIFY(rig.timer.Fire());
    QCOMPARE(rig.socket.sent.size(), std::size_t(3));
    rig.Arrive(kAnswer3);
    QCOMPARE(rig.events.ending, std::optional<Ending>(Ending::Done));
}

void TestEngine::earlyWakeIsNoTimeout()
{
    Rig rig(platform::Protocol::Udp);
    rig.settings.count = 2;
    const std::int64_t t0 = rig.clock.now;
    rig.engine.Start(rig.settings, rig.request);
    rig.clock.now = t0 + 100;
    rig.Arrive(kAnswer1);
    QCOMPARE(rig.socket.sent.size(), std::size_t(2));

    // The timer still runs for the first request; when it fires the second
    // has 100 us left.
    rig.clock.now = t0 + 1000;
    QVERIFY(rig.timer.Fire());
    QCOMPARE(rig.events.exchanges.size(), std::size_t(1));
    QCOMPARE(rig.timer.armed, std::optional<std::int64_t>(100));
    rig.clock.now = t0 + 1100;
    QVERIFY(rig.timer.Fire());
    QCOMPARE(rig.events.exchanges.back().outcome, Outcome::Timeout);
    QCOMPARE(rig.events.exchanges.back().seq, std::optional<std::uint16_t>(2));
}

void TestEngine::connectTimeout()
{
    Rig rig(platform::Protocol::Tcp);
    rig.settings.connectTimeoutUs = 3'000'000;
    rig.engine.Start(rig.settings, rig.request);
    QCOMPARE(rig.timer.armed, std::optional<std::int64_t>(3'000'000));
    rig.clock.now += 3'000'000;
    QVERIFY(rig.timer.Fire());
    QCOMPARE(rig.events.ending, std::optional<Ending>(Ending::TransportFailure));
    QCOMPARE(rig.events.reason, std::string("no connection within 3000 ms"));
    QVERIFY(rig.socket.sent.empty());
    QCOMPARE(rig.engine.Stats().sent, 0u);
    // A connection that completes after all is left alone.
    rig.engine.tcpClient_Connect();
    QVERIFY(rig.socket.sent.empty());
}

void TestEngine::sequenceSkipsZero()
{
    Rig rig(platform::Protocol::Udp);
    rig.settings.count = 65536;
    rig.engine.Start(rig.settings, rig.request);
    // Requests 1..65535 time out, each followed at once by the next.
    for (int i = 0; i < 65535; ++i) {
        rig.clock.now += 1000;
        QVERIFY(rig.timer.Fire());
    }
    QCOMPARE(rig.socket.sent.size(), std::size_t(65536));
    QCOMPARE(SeqOf(rig.socket.sent[65534]), 65535);
    QCOMPARE(SeqOf(rig.socket.sent[65535]), 1);

    // An answer carrying 0 is not the answer to the request after 65535.
    rig.clock.now += 10;
    rig.Arrive(kAnswer0);
    QCOMPARE(rig.events.exchanges.back().outcome, Outcome::Late);
    QVERIFY(!rig.events.ending);
    rig.Arrive(kAnswer1);
    QCOMPARE(rig.events.exchanges.back().outcome, Outcome::Answer);
    QCOMPARE(rig.events.ending, std::optional<Ending>(Ending::Done));
}

void TestEngine::interruptDuringRetries()
{
    Rig rig(platform::Protocol::Udp);
    rig.settings.retries = 2;
    rig.engine.Start(rig.settings, rig.request);
    rig.clock.now += 1000;
    QVERIFY(rig.timer.Fire());
    rig.clock.now += 1000;
    QVERIFY(rig.timer.Fire());
    QCOMPARE(rig.socket.sent.size(), std::size_t(3));

    // Ctrl-C while the third copy waits: neither the request nor its copies count.
    rig.engine.Interrupt();
    QVERIFY(rig.engine.Abandoned());
    QCOMPARE(rig.events.ending, std::optional<Ending>(Ending::Interrupted));
    QCOMPARE(rig.engine.Stats().sent, 0u);
    QCOMPARE(rig.engine.Stats().retries, 0u);
}

// In a round of a WORD and a DWORD, the WORD's answer comes after its
// timeout, while the DWORD is outstanding: late, and read as the WORD it
// answers, not at the size of the request outstanding.
void TestEngine::lateAnswerOfAnotherVariable()
{
    Rig rig(platform::Protocol::Udp);
    const client::Request round[] = {rig.request, {client::Command::Read, "%MD4", 4, 4, {}}};
    QCOMPARE(rig.engine.Start(rig.settings, round), modZeva::SendResult::Sent);
    rig.clock.now += 1000;
    QVERIFY(rig.timer.Fire());
    QCOMPARE(rig.socket.sent.size(), std::size_t(2)); // the DWORD's request, number 2
    rig.Arrive(kAnswer1);

    QCOMPARE(rig.events.exchanges.size(), std::size_t(2));
    const auto& late = rig.events.exchanges[1];
    QCOMPARE(late.outcome, Outcome::Late);
    QCOMPARE(late.variable, std::size_t(0));
    QCOMPARE(late.value, std::string("1234"));
    QCOMPARE(rig.engine.Stats(0).late, 1u);
    QCOMPARE(rig.engine.Stats(1).late, 0u);
}

// The timer waits behind other work: an answer that comes once the timeout
// has passed is late, though the timer has not fired yet.
void TestEngine::answerAfterItsTimeoutIsLate_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<int>("after"); // us after the send
    QTest::addColumn<bool>("taken");
    QTest::newRow("tcp, just in time") << false << 999 << true;
    QTest::newRow("tcp, at the timeout") << false << 1000 << false;
    QTest::newRow("udp, just in time") << true << 999 << true;
    QTest::newRow("udp, long after") << true << 149'500'000 << false;
}

void TestEngine::answerAfterItsTimeoutIsLate()
{
    QFETCH(bool, udp);
    QFETCH(int, after);
    QFETCH(bool, taken);
    Rig rig(udp ? platform::Protocol::Udp : platform::Protocol::Tcp);
    rig.engine.Start(rig.settings, rig.request);
    if (!udp)
        rig.engine.tcpClient_Connect();
    rig.clock.now += after;
    rig.Arrive(kAnswer1);
    QCOMPARE(rig.events.exchanges.front().outcome, taken ? Outcome::Answer : Outcome::Late);
    if (!taken) {
        QVERIFY(rig.timer.Fire());
        QCOMPARE(rig.events.exchanges.back().outcome, Outcome::Timeout);
    }
    const client::RunStatistics& s = rig.engine.Stats();
    QCOMPARE(s.answered + s.timeouts, s.sent);
    QCOMPARE(s.late, taken ? 0u : 1u);
}

void TestEngine::udpGarbageIsMalformed_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::newRow("random bytes") << QByteArray::fromHex("9C0E7731A5F0024B18D6E3C27F5A0B99D1446E2083F1");
    QTest::newRow("the client's direction byte") << QByteArray(kAnswer1).replace(13, 1, "\x33");
    QTest::newRow("shorter than a header") << kAnswer1.left(16);
}

void TestEngine::udpGarbageIsMalformed()
{
    QFETCH(QByteArray, datagram);
    Rig rig(platform::Protocol::Udp);
    rig.engine.Start(rig.settings, rig.request);
    rig.clock.now += 10;
    rig.Arrive(datagram);
    QCOMPARE(rig.events.exchanges.size(), std::size_t(1));
    QCOMPARE(rig.events.exchanges[0].outcome, Outcome::Malformed);
    QCOMPARE(rig.engine.Stats().malformed, 1u);
    QCOMPARE(rig.engine.Stats().late, 0u);
    // Still outstanding: the answer is taken.
    rig.Arrive(kAnswer1);
    QCOMPARE(rig.events.exchanges.back().outcome, Outcome::Answer);
}

// The device closes right behind its answer to the first variable: the
// second goes out on a new connection, not on the one closing.
void TestEngine::closeBehindAnswerLosesNothing()
{
    Rig rig(platform::Protocol::Tcp);
    rig.settings.reconnect = true;
    const client::Request round[] = {rig.request, rig.request};
    rig.engine.Start(rig.settings, round);
    rig.engine.tcpClient_Connect();
    rig.socket.peerClosed = true;
    rig.Arrive(kAnswer1);
    QCOMPARE(rig.socket.sent.size(), std::size_t(1));
    QCOMPARE(rig.socket.closes, 1);
    QCOMPARE(rig.socket.connects, 2);
    rig.socket.peerClosed = false;
    rig.engine.tcpClient_Connect();
    QCOMPARE(rig.socket.sent.size(), std::size_t(2));
    rig.Arrive(kAnswer2);
    QCOMPARE(rig.events.ending, std::optional<Ending>(Ending::Done));
    for (std::size_t v = 0; v < 2; ++v) {
        QCOMPARE(rig.engine.Stats(v).answered, 1u);
        QCOMPARE(rig.engine.Stats(v).closed, 0u);
        QCOMPARE(rig.engine.Stats(v).reconnects, 1u);
    }
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_Engine.moc"
