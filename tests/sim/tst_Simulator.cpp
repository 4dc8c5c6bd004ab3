#include "SimTestUtil.h"
#include "Simulator.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <numeric>
#include <random>

using namespace simtest;

namespace {

std::unique_ptr<sim::Simulator> startSim(sim::Config config = {})
{
    config.tcpPort = 0;
    config.udpPort = 0;
    auto s = std::make_unique<sim::Simulator>(std::move(config));
    QString error;
    if (!s->start(&error))
        qFatal("simulator did not start: %s", qPrintable(error));
    return s;
}

// Splits concatenated requests at the lengths their headers give.
QList<QByteArray> frames(const QByteArray& bytes)
{
    QList<QByteArray> list;
    for (qsizetype at = 0; at + 20 <= bytes.size();) {
        const int length = answerLength(bytes.mid(at, 20));
        list.append(bytes.mid(at, length));
        at += length;
    }
    return list;
}

const QByteArray kReadMW0 = QByteArray::fromHex("564F524E2D4B454C54550000003300000E0000385400020000000100040025" "4D5730");
const QByteArray kStatus = QByteArray::fromHex("564F524E2D4B454C5455000000330000060000" "30B00000000000");
const QByteArray kWriteMW0 = QByteArray::fromHex("564F524E2D4B454C54550000003300001200003C" "58000200000001000400254D573002003412");
const QByteArray kWriteMD10 = QByteArray::fromHex("564F524E2D4B454C54550000003300001500003F" "58000300000001000500254D4431300400" "23010000");

} // namespace

class tst_Simulator : public QObject {
    Q_OBJECT
private slots:
    void clientRequests_data();
    void clientRequests();
    void errorCodes_data();
    void errorCodes();
    void overlappingAddresses_data();
    void overlappingAddresses();
    void readOnly();
    void faultDelay();
    void faultDrop();
    void faultDropShareAndSeqOffset();
    void faultDropCarriesOutRequest();
    void faultDelayUdpBounded();
    void faultSplit();
    void faultTruncate();
    void faultCloseAfter();
    void faultErrors();
    void stateWordCounts();
    void statusError();
    void pipelinedInOrder();
    void coalescedAnswersInOneWrite();
    void truncatedRequestWaits();
    void invalidFrameClosesConnection_data();
    void invalidFrameClosesConnection();
    void udpIgnoresMalformedDatagrams();
    void udpDrainsAllDatagrams();
    void randomBodiesAlwaysAnswered();
    void manyClients();
    void animation_data();
    void animation();
};

void tst_Simulator::clientRequests_data()
{
    QTest::addColumn<QByteArray>("requests");
    QTest::addColumn<QByteArray>("answers");

    const QByteArray readOk = QByteArray::fromHex("564F524E2D4B454C54550000001100000E000016" "550002000000000001000200");
    const QByteArray writeOk = QByteArray::fromHex("564F524E2D4B454C54550000001100000A000012" "5900");
    QTest::newRow("read %MW0") << kReadMW0 << readOk + QByteArray::fromHex("0000");
    QTest::newRow("status") << kStatus
        << QByteArray::fromHex("564F524E2D4B454C54550000001100001E000026" "B100000000000000" "1400"
                               "0102030405060708090A0B0C0D0E0F1011121314");
    QTest::newRow("write %MW0 1234") << kWriteMW0 << writeOk + QByteArray::fromHex("0200000000000100");
    QTest::newRow("write %MD10 123") << kWriteMD10 << writeOk + QByteArray::fromHex("0300000000000100");
    QTest::newRow("status with a byte after its body")
        << QByteArray::fromHex("564F524E2D4B454C545500000033000007000031" "B0000000000000")
        << QByteArray::fromHex("564F524E2D4B454C545500000011000008000010" "B100000000001200");
    QTest::newRow("bytes 14..15 echoed")
        << QByteArray::fromHex("564F524E2D4B454C54550000003334120E00007E5400020000000100040025" "4D5730")
        << QByteArray::fromHex("564F524E2D4B454C54550000001134120E00005C" "5500020000000000010002000000");
    QTest::newRow("write then read %MW0") << kWriteMW0 + kReadMW0
        << writeOk + QByteArray::fromHex("0200000000000100") + readOk + QByteArray::fromHex("3412");
    QTest::newRow("write %MD10 then read %MD10") << kWriteMD10 + readRequest("%MD10", 3)
        << writeOk + QByteArray::fromHex("0300000000000100")
               + QByteArray::fromHex("564F524E2D4B454C5455000000110000100000185500030000000000010004002301" "0000");
}

// The same requests over TCP (all in one write) and over UDP (one datagram each).
void tst_Simulator::clientRequests()
{
    QFETCH(QByteArray, requests);
    QFETCH(QByteArray, answers);
    {
        auto sim = startSim();
        QTcpSocket tcp;
        QVERIFY(connectTo(tcp, sim->tcpPort()));
        tcp.write(requests);
        QTRY_COMPARE_WITH_TIMEOUT(tcp.bytesAvailable(), answers.size(), kWait);
        QCOMPARE(tcp.readAll().toHex(), answers.toHex());
    }
    {
        auto sim = startSim();
        QUdpSocket udp;
        QByteArray received;
        for (const QByteArray& request : frames(requests))
            received += exchange(udp, sim->udpPort(), request);
        QCOMPARE(received.toHex(), answers.toHex());
    }
}

void tst_Simulator::errorCodes_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("command"); // byte 20 of the answer
    QTest::addColumn<int>("code");    // 0: answered without error

    const QByteArray mw0 = "%MW0";
    QTest::newRow("block count 2") << frame(readBody(mw0, 2, 2)) << 0x55 << 0x11;
    QTest::newRow("block count 0") << frame(readBody(mw0, 2, 0)) << 0x55 << 0x11;
    QTest::newRow("name length 0") << frame(readBody("", 2)) << 0x55 << 0x71;
    QTest::newRow("name length 17") << readRequest("%MW00000000000000", 2) << 0x55 << 0x71;
    QTest::newRow("name length 16 accepted") << readRequest("%MW0000000000000", 2) << 0x55 << 0;
    QTest::newRow("name past the end") << frame(readBody(mw0, 2).chopped(1)) << 0x55 << 0x71;
    QTest::newRow("body ends after the command") << frame(QByteArray::fromHex("5400")) << 0x55 << 0x71;
    QTest::newRow("body ends before the name length") << frame(QByteArray::fromHex("540002000000010004")) << 0x55 << 0x71;
    QTest::newRow("unknown name") << readRequest("NOPE", 2) << 0x55 << 0x21;
    QTest::newRow("name as received, not upper-cased") << readRequest("speed", 2) << 0x55 << 0x21;
    QTest::newRow("lower-case direct address") << readRequest("%mw0", 2) << 0x55 << 0x21;
    QTest::newRow("unknown area") << readRequest("%QW0", 2) << 0x55 << 0x21;
    QTest::newRow("unknown type letter") << readRequest("%MQ0", 2) << 0x55 << 0x21;
    QTest::newRow("no index") << readRequest("%MW", 2) << 0x55 << 0x21;
    QTest::newRow("index not decimal") << readRequest("%MW1A", 2) << 0x55 << 0x21;
    QTest::newRow("last WORD") << readRequest("%MW2047", 2) << 0x55 << 0;
    QTest::newRow("WORD past the end") << readRequest("%MW2048", 2) << 0x55 << 0x22;
    QTest::newRow("BYTE past the end") << readRequest("%DB4096", 1) << 0x55 << 0x22;
    QTest::newRow("last LWORD") << readRequest("%KL511", 4) << 0x55 << 0;
    QTest::newRow("LWORD past the end") << readRequest("%ML512", 4) << 0x55 << 0x22;
    QTest::newRow("last bit") << readRequest("%MX32767", 0) << 0x55 << 0;
    QTest::newRow("bit past the end") << readRequest("%MX32768", 0) << 0x55 << 0x22;
    QTest::newRow("huge index") << readRequest("%MD999999999999", 3) << 0x55 << 0x22;
    QTest::newRow("type BYTE for %MW0") << readRequest(mw0, 1) << 0x55 << 0x24;
    QTest::newRow("type 0 for %MW0") << readRequest(mw0, 0) << 0x55 << 0x24;
    QTest::newRow("type DWORD for SPEED") << readRequest("SPEED", 3) << 0x55 << 0x24;
    QTest::newRow("type 5") << readRequest("TOTAL", 5) << 0x55 << 0x24;
    QTest::newRow("write size field 1 for WORD") << writeRequest(mw0, 2, "\x01") << 0x59 << 0x71;
    QTest::newRow("write data cut short") << frame(QByteArray::fromHex("58000200000001000400254D5730020034")) << 0x59 << 0x71;
    QTest::newRow("write without size field") << frame(readBody(mw0, 2).replace(0, 1, "\x58")) << 0x59 << 0x71;
    QTest::newRow("write %KW0") << writeRequest("%KW0", 2, QByteArray(2, '\0')) << 0x59 << 0x73;
    QTest::newRow("write LIMIT") << writeRequest("LIMIT", 3, QByteArray(4, '\0')) << 0x59 << 0x73;
    QTest::newRow("write bit value 2") << writeRequest("%MX3", 0, "\x02") << 0x59 << 0x22;
    QTest::newRow("write ok") << writeRequest("TOTAL", 4, QByteArray(8, '\x11')) << 0x59 << 0;
    QTest::newRow("unknown command 0x60") << frame(QByteArray::fromHex("6000020000000100")) << 0x61 << 0x12;
    QTest::newRow("empty body") << frame({}) << 0x01 << 0x12;
    QTest::newRow("read with command high byte 1") << frame(readBody(mw0, 2).replace(1, 1, "\x01")) << 0x55 << 0x12;
    QTest::newRow("status with command high byte 1") << frame(QByteArray::fromHex("B00100000000")) << 0xB1 << 0x12;
    QTest::newRow("read with a byte after the name") << frame(readBody(mw0, 2) + '0') << 0x55 << 0x12;
    QTest::newRow("write with a byte after the data") << frame(QByteArray::fromHex("58000200000001000400254D5730020034120000")) << 0x59 << 0x12;
    QTest::newRow("first failure: block count before name length") << frame(readBody("", 2, 3)) << 0x55 << 0x11;
    QTest::newRow("first failure: unknown before type") << readRequest("NOPE", 9) << 0x55 << 0x21;
    QTest::newRow("first failure: range before type") << readRequest("%MW5000", 9) << 0x55 << 0x22;
    QTest::newRow("first failure: size before read-only") << writeRequest("%KW0", 2, "\x01") << 0x59 << 0x71;
    QTest::newRow("first failure: type before read-only") << writeRequest("LIMIT", 2, "\x01\x02") << 0x59 << 0x24;
}

void tst_Simulator::errorCodes()
{
    QFETCH(QByteArray, request);
    QFETCH(int, command);
    QFETCH(int, code);
    auto sim = startSim();
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    const QByteArray answer = exchange(tcp, request);
    QVERIFY2(answer.size() >= 30, answer.toHex().constData());
    QCOMPARE(quint8(answer[20]), command);
    // Read and write answers carry the request's type code.
    const bool echoesType = (command == 0x55 || command == 0x59) && request.size() >= 24 && request[21] == 0;
    QCOMPARE(answer.mid(22, 2), echoesType ? request.mid(22, 2) : QByteArray(2, '\0'));
    if (code == 0) {
        QCOMPARE(answer.mid(26, 4).toHex(), QByteArray("00000100"));
    } else {
        QCOMPARE(answer.size(), 30);
        QCOMPARE(answer.mid(26, 2).toHex(), QByteArray("ffff"));
        QCOMPARE(errorCode(answer), code);
    }
}

void tst_Simulator::overlappingAddresses_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<int>("writeType");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<int>("readType");
    QTest::addColumn<QByteArray>("expected"); // value bytes as they travel

    const QByteArray w1234 = QByteArray::fromHex("3412");
    QTest::newRow("%MW10 -> %MB20") << QByteArray("%MW10") << 2 << w1234 << QByteArray("%MB20") << 1 << QByteArray("34");
    QTest::newRow("%MW10 -> %MB21") << QByteArray("%MW10") << 2 << w1234 << QByteArray("%MB21") << 1 << QByteArray("12");
    QTest::newRow("%MW10 -> %MX160") << QByteArray("%MW10") << 2 << w1234 << QByteArray("%MX160") << 0 << QByteArray("00");
    QTest::newRow("%MW10 -> %MX162") << QByteArray("%MW10") << 2 << w1234 << QByteArray("%MX162") << 0 << QByteArray("01");
    QTest::newRow("%MW10 -> %MX172") << QByteArray("%MW10") << 2 << w1234 << QByteArray("%MX172") << 0 << QByteArray("01");
    QTest::newRow("%MW10 -> %MD5") << QByteArray("%MW10") << 2 << w1234 << QByteArray("%MD5") << 3 << QByteArray("34120000");
    QTest::newRow("%MW10 -> %MW11") << QByteArray("%MW10") << 2 << w1234 << QByteArray("%MW11") << 2 << QByteArray("0000");
    QTest::newRow("%MX10 -> %MB1") << QByteArray("%MX10") << 0 << QByteArray("\x01") << QByteArray("%MB1") << 1 << QByteArray("04");
    QTest::newRow("%ML1 -> %MW4") << QByteArray("%ML1") << 4 << QByteArray::fromHex("0807060504030201") << QByteArray("%MW4") << 2 << QByteArray("0807");
    QTest::newRow("%ML1 -> %MD3") << QByteArray("%ML1") << 4 << QByteArray::fromHex("0807060504030201") << QByteArray("%MD3") << 3 << QByteArray("04030201");
    QTest::newRow("%DW0 leaves %MW0") << QByteArray("%DW0") << 2 << w1234 << QByteArray("%MW0") << 2 << QByteArray("0000");
    QTest::newRow("%DW0 -> %DB0") << QByteArray("%DW0") << 2 << w1234 << QByteArray("%DB0") << 1 << QByteArray("34");
    QTest::newRow("SPEED leaves %MW0") << QByteArray("SPEED") << 2 << w1234 << QByteArray("%MW0") << 2 << QByteArray("0000");
    QTest::newRow("SPEED") << QByteArray("SPEED") << 2 << w1234 << QByteArray("SPEED") << 2 << QByteArray("3412");
    QTest::newRow("TOTAL") << QByteArray("TOTAL") << 4 << QByteArray::fromHex("0102030405060708") << QByteArray("TOTAL") << 4 << QByteArray("0102030405060708");
}

void tst_Simulator::overlappingAddresses()
{
    QFETCH(QByteArray, written);
    QFETCH(int, writeType);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, read);
    QFETCH(int, readType);
    QFETCH(QByteArray, expected);
    auto sim = startSim();
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    QCOMPARE(exchange(tcp, writeRequest(written, writeType, data)).mid(26, 2).toHex(), QByteArray("0000"));
    const QByteArray answer = exchange(tcp, readRequest(read, readType));
    QCOMPARE(answer.mid(26, 2).toHex(), QByteArray("0000"));
    QCOMPARE(answer.mid(30, 2), le16(int(expected.size()) / 2));
    QCOMPARE(answer.mid(32).toHex(), expected.toLower());
}

void tst_Simulator::readOnly()
{
    auto sim = startSim();
    QVERIFY(sim->writeArea('K', 6, QByteArray::fromHex("CDAB")));
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    QCOMPARE(exchange(tcp, readRequest("%KW3", 2)).mid(32).toHex(), QByteArray("cdab"));
    QCOMPARE(errorCode(exchange(tcp, writeRequest("%KW3", 2, QByteArray(2, '\0')))), 0x73);
    QCOMPARE(errorCode(exchange(tcp, writeRequest("%KX48", 0, QByteArray(1, '\0')))), 0x73);
    QCOMPARE(sim->readArea('K', 6, 2).toHex(), QByteArray("cdab"));
    QCOMPARE(exchange(tcp, readRequest("LIMIT", 3)).mid(32).toHex(), QByteArray("78563412"));
    QCOMPARE(errorCode(exchange(tcp, writeRequest("LIMIT", 3, QByteArray(4, '\0')))), 0x73);
    QCOMPARE(sim->variable("LIMIT").toHex(), QByteArray("78563412"));
}

void tst_Simulator::faultDelay()
{
    sim::Config config;
    config.faults.delayMs = 1500;
    auto sim = startSim(config);
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    QSignalSpy received(sim.get(), &sim::Simulator::requestReceived);
    tcp.write(kReadMW0);
    QVERIFY(received.wait(kWait));
    QCOMPARE(sim->requestsAnswered(), 0);
    QCOMPARE(tcp.bytesAvailable(), 0);
    QCOMPARE(readAnswer(tcp).size(), 34);
    QCOMPARE(sim->requestsAnswered(), 1);
}

void tst_Simulator::faultDrop()
{
    sim::Config config;
    config.faults.dropPercent = 100;
    auto sim = startSim(config);
    QTcpSocket tcp;
    QUdpSocket udp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    tcp.write(kReadMW0 + kStatus);
    udp.writeDatagram(kStatus, QHostAddress::LocalHost, sim->udpPort());
    QTRY_COMPARE_WITH_TIMEOUT(sim->requestsReceived(), 3, kWait);
    // An answer would have been written within the same event.
    QCOMPARE(sim->requestsAnswered(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(tcp.bytesAvailable(), 0);
    QVERIFY(!udp.hasPendingDatagrams());
    QCOMPARE(tcp.state(), QAbstractSocket::ConnectedState);
}

void tst_Simulator::faultDropShareAndSeqOffset()
{
    // Sequence numbers of the status requests answered, read back from the
    // answers less the offset.
    const auto answeredSeqs = [](int dropPercent, quint32 seed) {
        sim::Config config;
        config.faults.dropPercent = dropPercent;
        config.faults.seqOffset = 3;
        config.seed = seed;
        auto sim = startSim(config);
        QUdpSocket udp;
        QList<int> seqs;
        for (int seq = 0; seq < 200; ++seq) {
            QByteArray request = kStatus;
            request[14] = char(seq);
            request[19] = char(quint8(kStatus[19]) + seq); // the checksum covers byte 14
            udp.writeDatagram(request, QHostAddress::LocalHost, sim->udpPort());
            if (!QTest::qWaitFor([&] { return sim->requestsReceived() > seq; }, kWait))
                return QList<int>{-1};
        }
        // Answers leave within the event that took the request.
        const bool all = QTest::qWaitFor([&] {
            while (udp.hasPendingDatagrams())
                seqs.append(quint8(udp.receiveDatagram().data()[14]) - 3);
            return seqs.size() >= sim->requestsAnswered();
        }, kWait);
        return all ? seqs : QList<int>{-2};
    };
    QList<int> all(200);
    std::iota(all.begin(), all.end(), 0);
    QCOMPARE(answeredSeqs(0, 7), all);
    const QList<int> half = answeredSeqs(50, 7);
    QVERIFY2(half.size() > 60 && half.size() < 140, qPrintable(QString::number(half.size())));
    QCOMPARE(answeredSeqs(50, 7), half);
}

// A dropped answer does not undo its request: the write is done.
void tst_Simulator::faultDropCarriesOutRequest()
{
    sim::Config config;
    config.faults.dropPercent = 100;
    auto sim = startSim(config);
    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
    udp.writeDatagram(kWriteMW0, QHostAddress::LocalHost, sim->udpPort());
    QTRY_COMPARE_WITH_TIMEOUT(sim->requestsReceived(), 1, kWait);
    QCOMPARE(sim->readArea('M', 0, 2).toHex(), QByteArray("3412"));
    QCOMPARE(sim->requestsAnswered(), 0);
    QVERIFY(!udp.hasPendingDatagrams());
}

// Senders flooding a simulator whose answers wait ten minutes: every request
// is carried out, and the answers held stop at the bounds; the rest are not
// sent.
void tst_Simulator::faultDelayUdpBounded()
{
    sim::Config config;
    config.faults.delayMs = 600000;
    auto sim = startSim(config);
    constexpr int kAnswerSize = 50; // a status answer
    constexpr int kSenders = 17;    // more than kUdpDelayedMax holds at kMaxUnsent each
    constexpr int kEach = 1328;     // more than kMaxUnsent holds
    static_assert(kSenders * (sim::Simulator::kMaxUnsent / kAnswerSize) * kAnswerSize > sim::Simulator::kUdpDelayedMax);
    static_assert(kEach * kAnswerSize > sim::Simulator::kMaxUnsent);
    // Runs the event loop until the simulator has taken count requests, or
    // for two seconds when the kernel lost some.
    const auto waitReceived = [&](int count) {
        QEventLoop loop;
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        connect(sim.get(), &sim::Simulator::requestReceived, &loop, [&] {
            if (sim->requestsReceived() >= count)
                loop.quit();
        });
        if (sim->requestsReceived() < count)
            loop.exec();
        return sim->requestsReceived();
    };
    constexpr int kBurst = 16; // fewer than a sender may have waiting
    std::vector<std::unique_ptr<QUdpSocket>> senders;
    int received = 0;
    for (int s = 0; s < kSenders; ++s) {
        senders.push_back(std::make_unique<QUdpSocket>());
        QVERIFY(senders.back()->bind(QHostAddress::LocalHost, 0));
        for (int i = 0; i < kEach; i += kBurst) {
            for (int j = 0; j < kBurst; ++j)
                senders.back()->writeDatagram(kStatus, QHostAddress::LocalHost, sim->udpPort());
            received = waitReceived(received + kBurst);
        }
    }
    QVERIFY2(received > kSenders * kEach * 9 / 10, qPrintable(QString::number(received)));
    QCOMPARE(sim->udpAnswersDelayed(), int(sim::Simulator::kUdpDelayedMax / kAnswerSize));
    QCOMPARE(sim->udpAnswersDelayed() + sim->udpAnswersNotSent(), received);
    QCOMPARE(sim->requestsAnswered(), 0);
}

void tst_Simulator::faultSplit()
{
    sim::Config config;
    config.faults.splitMs = 1000;
    auto sim = startSim(config);
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    tcp.write(kReadMW0);
    QVERIFY(QTest::qWaitFor([&] { return tcp.bytesAvailable() > 0; }, kWait));
    const QByteArray first = tcp.readAll();
    QCOMPARE(first.size(), 17);
    QTRY_COMPARE_WITH_TIMEOUT(tcp.bytesAvailable(), 17, kWait);
    QCOMPARE((first + tcp.readAll()).toHex(),
             QByteArray("564f524e2d4b454c54550000001100000e0000165500020000000000010002000000"));
}

void tst_Simulator::faultTruncate()
{
    sim::Config config;
    config.faults.truncate = 10;
    auto sim = startSim(config);
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    tcp.write(kReadMW0);
    QTRY_COMPARE_WITH_TIMEOUT(sim->requestsAnswered(), 1, kWait);
    tcp.write(kStatus);
    QTRY_COMPARE_WITH_TIMEOUT(sim->requestsAnswered(), 2, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(tcp.bytesAvailable(), 20, kWait);
    QCOMPARE(tcp.readAll(), QByteArray("VORN-KELTUVORN-KELTU"));
    QUdpSocket udp;
    QCOMPARE(exchange(udp, sim->udpPort(), kStatus), QByteArray("VORN-KELTU"));
}

void tst_Simulator::faultCloseAfter()
{
    sim::Config config;
    config.faults.closeAfter = 2;
    auto sim = startSim(config);
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    QByteArray received;
    connect(&tcp, &QTcpSocket::readyRead, &tcp, [&] { received += tcp.readAll(); });
    tcp.write(kReadMW0);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 34, kWait);
    QCOMPARE(tcp.state(), QAbstractSocket::ConnectedState);
    tcp.write(kStatus + kReadMW0);
    QTRY_COMPARE_WITH_TIMEOUT(tcp.state(), QAbstractSocket::UnconnectedState, kWait);
    QCOMPARE(received.size(), 34 + 50);
    QCOMPARE(quint8(received[34 + 20]), 0xB1);
    QCOMPARE(sim->requestsAnswered(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(sim->connectionCount(), 0, kWait);
}

void tst_Simulator::faultErrors()
{
    sim::Config config;
    QVERIFY(sim::parseArguments({"zeva-sim", "--fault", "error=SPEED:33", "--fault", "error=%MW0:0x71",
                                 "--fault", "error=GHOST:0x8001"}).has_value());
    config.faults = sim::parseArguments({"zeva-sim", "--fault", "error=SPEED:33", "--fault", "error=%MW0:0x71",
                                         "--fault", "error=GHOST:0x8001"})->faults;
    auto sim = startSim(config);
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    QCOMPARE(errorCode(exchange(tcp, readRequest("SPEED", 2))), 0x21);
    QCOMPARE(errorCode(exchange(tcp, writeRequest("%MW0", 2, "\x01\x02"))), 0x71);
    QCOMPARE(errorCode(exchange(tcp, readRequest("GHOST", 1))), 0x8001);
    QCOMPARE(exchange(tcp, readRequest("FLAG", 1)).mid(26, 2).toHex(), QByteArray("0000"));
    QCOMPARE(sim->readArea('M', 0, 2).toHex(), QByteArray("0000"));
}

void tst_Simulator::stateWordCounts()
{
    sim::Config config;
    config.stateWord = 0x0201;
    config.faults.stateCount = true;
    auto sim = startSim(config);
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    QUdpSocket udp;
    QCOMPARE(exchange(tcp, kStatus).mid(10, 2).toHex(), QByteArray("0102"));
    QCOMPARE(exchange(tcp, kReadMW0).mid(10, 2).toHex(), QByteArray("0202"));
    QCOMPARE(exchange(udp, sim->udpPort(), kStatus).mid(10, 2).toHex(), QByteArray("0302"));
}

void tst_Simulator::statusError()
{
    sim::Config config;
    config.faults.statusError = 0x22;
    auto sim = startSim(config);
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    QCOMPARE(exchange(tcp, kStatus).toHex(),
             QByteArray("564f524e2d4b454c545500000011000008000010" "b100000000002200"));
}

void tst_Simulator::pipelinedInOrder()
{
    auto sim = startSim();
    for (int i = 0; i < 10; ++i)
        QVERIFY(sim->writeArea('D', 2 * i, le16(0x100 + i)));
    QByteArray requests;
    for (int i = 9; i >= 0; --i)
        requests += readRequest("%DW" + QByteArray::number(i), 2);
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    tcp.write(requests);
    for (int i = 9; i >= 0; --i)
        QCOMPARE(readAnswer(tcp).mid(32), le16(0x100 + i));
}

// Requests that arrive together are answered together: the client sees both
// answers in its first read.
void tst_Simulator::coalescedAnswersInOneWrite()
{
    auto sim = startSim();
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    QSignalSpy answered(sim.get(), &sim::Simulator::requestAnswered);
    tcp.write(kReadMW0 + kStatus);
    QVERIFY(QTest::qWaitFor([&] { return tcp.bytesAvailable() > 0; }, kWait));
    QCOMPARE(answered.count(), 2);
    QCOMPARE(tcp.readAll().size(), 34 + 50);
}

// A request that arrives a byte at a time, or cut at any point, waits for
// the rest of its bytes and is then answered.
void tst_Simulator::truncatedRequestWaits()
{
    auto sim = startSim();
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    for (int cut = 1; cut < kWriteMW0.size(); ++cut) {
        const int before = sim->requestsReceived();
        tcp.write(kWriteMW0.left(cut));
        tcp.flush();
        QCoreApplication::processEvents();
        QCOMPARE(sim->requestsReceived(), before);
        tcp.write(kWriteMW0.mid(cut));
        QCOMPARE(readAnswer(tcp).size(), 30);
    }
    for (char byte : kReadMW0) {
        tcp.write(&byte, 1);
        tcp.flush();
        QCoreApplication::processEvents();
    }
    QCOMPARE(readAnswer(tcp).mid(32).toHex(), QByteArray("3412"));
    QCOMPARE(tcp.state(), QAbstractSocket::ConnectedState);
}

void tst_Simulator::invalidFrameClosesConnection_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QByteArray badId = kReadMW0;
    badId[3] = 'X';
    QByteArray badDirection = kReadMW0;
    badDirection[13] = 0x11;
    QByteArray badBcc = kReadMW0;
    badBcc[19] = 0x39;
    QTest::newRow("wrong company id") << badId;
    QTest::newRow("answer direction") << badDirection;
    QTest::newRow("wrong checksum") << badBcc;
    QTest::newRow("garbage") << QByteArray::fromHex("DEADBEEF00112233445566778899AABBCCDDEEFF0011");
    QTest::newRow("valid frame, then garbage") << kReadMW0 + QByteArray("GET / HTTP/1.0\r\n\r\n");
    QTest::newRow("wrong first byte alone") << QByteArray("W");
}

void tst_Simulator::invalidFrameClosesConnection()
{
    QFETCH(QByteArray, bytes);
    auto sim = startSim();
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    QByteArray received;
    connect(&tcp, &QTcpSocket::readyRead, &tcp, [&] { received += tcp.readAll(); });
    tcp.write(bytes);
    QTRY_COMPARE_WITH_TIMEOUT(tcp.state(), QAbstractSocket::UnconnectedState, kWait);
    // Only whole valid frames before the fault are answered.
    QCOMPARE(received.size(), bytes.startsWith(kReadMW0) ? 34 : 0);
}

void tst_Simulator::udpIgnoresMalformedDatagrams()
{
    auto sim = startSim();
    QUdpSocket udp;
    QList<QByteArray> ignored;
    for (int cut = 0; cut < kReadMW0.size(); ++cut)
        ignored << kReadMW0.left(cut);
    ignored << kReadMW0 + '\0' << kStatus + kStatus;
    QByteArray badBcc = kStatus;
    badBcc[19] = 0;
    ignored << badBcc;
    for (const QByteArray& datagram : ignored)
        udp.writeDatagram(datagram, QHostAddress::LocalHost, sim->udpPort());
    // The first answer to arrive is the one to the only good datagram.
    QCOMPARE(exchange(udp, sim->udpPort(), kWriteMW0).size(), 30);
    QCOMPARE(sim->requestsReceived(), 1);
    QVERIFY(!udp.hasPendingDatagrams());
}

void tst_Simulator::udpDrainsAllDatagrams()
{
    auto sim = startSim();
    QUdpSocket udp;
    for (int i = 0; i < 20; ++i)
        udp.writeDatagram(kStatus, QHostAddress::LocalHost, sim->udpPort());
    int answers = 0;
    QVERIFY(QTest::qWaitFor([&] {
        while (udp.hasPendingDatagrams())
            answers += udp.receiveDatagram().data().size() == 50;
        return answers == 20;
    }, kWait));
}

// Well-formed headers with random bodies: every one gets a well-formed answer.
void tst_Simulator::randomBodiesAlwaysAnswered()
{
    auto sim = startSim();
    std::mt19937 random(20261207);
    const QByteArray commands = QByteArray::fromHex("5458B000FF");
    QByteArray requests;
    constexpr int kCount = 400;
    for (int i = 0; i < kCount; ++i) {
        QByteArray body(int(random() % 48), '\0');
        for (char& c : body)
            c = char(random() % 4 ? random() % 8 : random() % 256);
        if (!body.isEmpty())
            body[0] = commands[int(random() % commands.size())];
        if (body.size() > 26 && random() % 2)
            body.replace(6, 2, le16(1)); // block count 1, so that the later checks are reached
        requests += frame(body);
    }
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, sim->tcpPort()));
    tcp.write(requests);
    for (int i = 0; i < kCount; ++i) {
        const QByteArray answer = readAnswer(tcp);
        QVERIFY2(answer.size() >= 28 && answer.startsWith("VORN-KELTU") && quint8(answer[13]) == 0x11,
                 qPrintable(QString::number(i)));
    }
    QCOMPARE(sim->requestsAnswered(), kCount);
}

void tst_Simulator::manyClients()
{
    auto sim = startSim();
    constexpr int kClients = 20;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, sim->tcpPort());
    }
    QTRY_COMPARE_WITH_TIMEOUT(sim->connectionCount(), kClients, kWait);
    for (int i = 0; i < kClients; ++i)
        clients[i]->write(writeRequest("%MW" + QByteArray::number(i), 2, le16(i)) + readRequest("%MW" + QByteArray::number(i), 2));
    for (int i = 0; i < kClients; ++i) {
        QCOMPARE(readAnswer(*clients[i]).size(), 30);
        QCOMPARE(readAnswer(*clients[i]).mid(32), le16(i));
    }
    clients.clear();
    QTRY_COMPARE_WITH_TIMEOUT(sim->connectionCount(), 0, kWait);
}

void tst_Simulator::animation_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<int>("type");
    QTest::addColumn<QList<int>>("times");      // the clock at each read, ms
    QTest::addColumn<QByteArrayList>("values"); // as read, in wire order; none: random values
    QTest::newRow("counter wraps") << QStringList{"--var", "C=WORD:FFFE", "--animate", "C=counter"} << QByteArray("C") << 2
                                   << QList<int>{0, 0, 0, 0} << QByteArrayList{"feff", "ffff", "0000", "0100"};
    QTest::newRow("counter on a bit") << QStringList{"--animate", "%MX9=counter"} << QByteArray("%MX09") << 0
                                      << QList<int>{0, 0, 0} << QByteArrayList{"00", "01", "00"};
    QTest::newRow("counter on a named bit") << QStringList{"--var", "RUN=BIT", "--animate", "RUN=counter"} << QByteArray("RUN")
                                            << 0 << QList<int>{0, 0, 0, 0} << QByteArrayList{"00", "01", "00", "01"};
    QTest::newRow("sine") << QStringList{"--animate", "SPEED=sine=1000"} << QByteArray("SPEED") << 2
                          << QList<int>{0, 250, 500, 750, 1250} << QByteArrayList{"0080", "ffff", "0080", "0000", "ffff"};
    QTest::newRow("sine, default period") << QStringList{"--animate", "TOTAL=sine"} << QByteArray("TOTAL") << 4
                                          << QList<int>{2500, 7500} << QByteArrayList{"ffffffffffffffff", "0000000000000000"};
    QTest::newRow("ramp") << QStringList{"--animate", "%MD1=ramp=1000"} << QByteArray("%MD1") << 3
                          << QList<int>{0, 250, 500, 750, 1000}
                          << QByteArrayList{"00000000", "00000040", "00000080", "000000c0", "00000000"};
    QTest::newRow("random") << QStringList{"--seed", "7", "--animate", "FLAG=random"} << QByteArray("FLAG") << 1
                            << QList<int>(8, 0) << QByteArrayList{};
}

// Each read of an animated variable, from a device and from a second one of
// the same settings: a random sequence repeats with the seed.
void tst_Simulator::animation()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, variable);
    QFETCH(int, type);
    QFETCH(QList<int>, times);
    QFETCH(QByteArrayList, values);
    QString error;
    const auto config = sim::parseArguments(QStringList{"zeva-sim"} + args, &error);
    QVERIFY2(config, qPrintable(error));
    qint64 clock = 0;
    sim::Device device(*config, 0, [&] { return clock; });
    sim::Device same(*config, 0, [&] { return clock; });
    QByteArrayList read;
    for (int t : times) {
        clock = t;
        read += device.answer(readRequest(variable, type)).mid(32).toHex();
        QCOMPARE(same.answer(readRequest(variable, type)).mid(32).toHex(), read.last());
    }
    if (values.isEmpty())
        QVERIFY2(QSet<QByteArray>(read.begin(), read.end()).size() > 1, read.join(' ').constData());
    else
        QCOMPARE(read, values);
}

QTEST_GUILESS_MAIN(tst_Simulator)
#include "tst_Simulator.moc"
