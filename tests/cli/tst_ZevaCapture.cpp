// zeva --pcap end to end against the zeva-sim program, the capture read back
// with tcpdump (libpcap): every frame of the run in order and direction,
// checksums right, time stamps as --trace shows them, between the
// connection's own addresses and ports; the last frames of a run ended by
// SIGTERM; a capture that cannot be written, before and during the run.

#include <CaptureReader.h>
#include <SimProcess.h>

#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kWait = 60000; // generous: the sanitizer build on a busy machine is slow

// A frame as --trace prints it.
struct Traced {
    qint64 micros = 0;
    bool sent = false;
    QByteArray bytes;
};

// zeva-sim on free ports of bind.
sim::Config SimOn(const QString& bind)
{
    sim::Config config;
    config.bind = QHostAddress(bind);
    config.tcpPort = 0;
    config.udpPort = 0;
    return config;
}

QList<Traced> TracedFrames(const QString& err)
{
    QList<Traced> frames;
    static const QRegularExpression re(R"(^\[(\d+)\.(\d{6})\] (?:\S+ \S+ )?(send|recv) .*\| ([0-9A-F ]+)$)",
                                       QRegularExpression::MultilineOption);
    for (auto it = re.globalMatch(err); it.hasNext();) {
        const auto m = it.next();
        frames << Traced{m.captured(1).toLongLong() * 1000000 + m.captured(2).toLongLong(),
                         m.captured(3) == QLatin1String("send"), QByteArray::fromHex(m.captured(4).toLatin1())};
    }
    return frames;
}

} // namespace

class TestZevaCapture : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("tcpdump")).isEmpty())
            QSKIP("tcpdump is needed to read captures back");
    }
    void captureHoldsTheRun_data();
    void captureHoldsTheRun();
    void failedWrite_data();
    void failedWrite();
};

void TestZevaCapture::captureHoldsTheRun_data()
{
    QTest::addColumn<QString>("bind");
    QTest::addColumn<bool>("udp");
    QTest::addColumn<bool>("terminate"); // no count: ended by SIGTERM after a few answers
    QTest::newRow("tcp ipv4") << "127.0.0.1" << false << false;
    QTest::newRow("udp ipv4") << "127.0.0.1" << true << false;
    QTest::newRow("tcp ipv6") << "::1" << false << false;
    QTest::newRow("udp ipv6") << "::1" << true << false;
#ifndef Q_OS_WIN
    QTest::newRow("tcp ended by SIGTERM") << "127.0.0.1" << false << true;
#endif
}

void TestZevaCapture::captureHoldsTheRun()
{
    QFETCH(QString, bind);
    QFETCH(bool, udp);
    QFETCH(bool, terminate);
    simtest::Simulator sim(SimOn(bind));
    if (!sim.start())
        QSKIP("the simulator cannot listen on this address here");
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("run.pcapng"));
    const quint16 port = udp ? sim.udpPort() : sim.tcpPort();
    QStringList args{"-H", bind.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2").arg(bind).arg(port)
                                                              : QStringLiteral("%1:%2").arg(bind).arg(port),
                     "--trace", "--pcap", file, "poll", "%MW0", "SPEED:WORD"};
    if (udp)
        args << "-u";
    if (!terminate)
        args << "-c" << "20";
    QProcess zeva;
    zeva.start(QStringLiteral(ZEVA_PATH), args);
    if (terminate) {
        QTRY_VERIFY_WITH_TIMEOUT(zeva.peek(1 << 20).count('\n') >= 10, kWait);
        zeva.terminate();
    }
    QVERIFY(zeva.waitForFinished(kWait));
    QCOMPARE(zeva.exitCode(), 0);

    const QList<Traced> frames = TracedFrames(QString::fromUtf8(zeva.readAllStandardError()));
    QString complaints;
    const QList<test::Packet> packets = test::ReadCapture(file, &complaints);
    QVERIFY2(!complaints.contains(QLatin1String("truncated")) && !complaints.contains(QLatin1String("exit")),
             qPrintable(complaints));
    QVERIFY(frames.size() >= (terminate ? 10 : 80));
    QCOMPARE(packets.size(), frames.size());
    const QString loop = bind;
    qint64 next[2] = {packets[1].seq, packets[0].seq}; // the next sequence number received, sent
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const test::Packet& p = packets[i];
        if (!udp) {
            // The numbers run on, each side acknowledging all the other sent.
            QCOMPARE(p.seq, next[frames[i].sent]);
            next[frames[i].sent] = p.seqEnd;
            QCOMPARE(p.ack, next[!frames[i].sent]);
        }
        QCOMPARE(p.payload.toHex(), frames[i].bytes.toHex());
        QVERIFY(p.sumOk);
        QCOMPARE(p.src, loop);
        QCOMPARE(p.dst, loop);
        // The device's port on the device's side, one port of our own.
        QCOMPARE(frames[i].sent ? p.dstPort : p.srcPort, port);
        QCOMPARE(frames[i].sent ? p.srcPort : p.dstPort, packets[0].srcPort);
        QVERIFY(qAbs((p.micros - packets[0].micros) - (frames[i].micros - frames[0].micros)) < 1000);
    }
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.read(256).contains("zeva " ZEVA_VERSION));
}

void TestZevaCapture::failedWrite_data()
{
    QTest::addColumn<QString>("pcap");     // the file; empty: one in a temporary directory
    QTest::addColumn<int>("sizeLimit");    // 512-byte blocks the file may grow to; 0: none
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
#ifdef Q_OS_LINUX
    // The system's full device takes nothing: the run does not start.
    QTest::newRow("full device") << "/dev/full" << 0 << 2 << "zeva: cannot write /dev/full: No space left on device";
#endif
#ifndef Q_OS_WIN
    // The file stops growing mid-run, as on a disk that fills up.
    QTest::newRow("file full mid-run") << QString() << 24 << 0 << "; no more packets are captured, the run goes on";
#endif
}

void TestZevaCapture::failedWrite()
{
    QFETCH(QString, pcap);
    QFETCH(int, sizeLimit);
    QFETCH(int, status);
    QFETCH(QString, message);
    simtest::Simulator sim(SimOn(QStringLiteral("127.0.0.1")));
    QVERIFY(sim.start());
    QTemporaryDir dir;
    if (pcap.isEmpty())
        pcap = dir.filePath(QStringLiteral("run.pcapng"));
    const QStringList args{"-H", QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort()), "--trace", "--pcap", pcap,
                           "-i", "50", "-c", "60", "poll", "%MW0"};
    QProcess zeva;
    if (sizeLimit > 0) {
        // The shell ignores the signal a write past the limit raises, so that it fails instead.
        zeva.start(QStringLiteral("sh"), QStringList{"-c", QStringLiteral("trap '' XFSZ; ulimit -f %1; exec \"$0\" \"$@\"")
                                                           .arg(sizeLimit), QStringLiteral(ZEVA_PATH)} + args);
    } else {
        zeva.start(QStringLiteral(ZEVA_PATH), args);
    }
    QVERIFY(zeva.waitForFinished(kWait));
    QCOMPARE(zeva.exitCode(), status);
    const QString err = QString::fromUtf8(zeva.readAllStandardError());
    QCOMPARE(err.count(message), 1);
    if (status != 0) {
        QVERIFY(!err.contains(QLatin1String("send")));
        return;
    }
    // Every exchange was made, and the file holds whole packets only: the
    // first frames of the run.
    QVERIFY(QString::fromUtf8(zeva.readAllStandardOutput()).contains(QLatin1String("60 sent, 60 answered")));
    QVERIFY(QFileInfo(pcap).size() <= sizeLimit * 512);
    QString complaints;
    const QList<test::Packet> packets = test::ReadCapture(pcap, &complaints);
    QVERIFY2(complaints.contains(QLatin1String("reading from file")) && !complaints.contains(QLatin1String("truncated"))
                 && !complaints.contains(QLatin1String("exit")),
             qPrintable(complaints));
    const QList<Traced> frames = TracedFrames(err);
    // About 4.7 kB a second: a second's worth or two fit, the whole run does not.
    QVERIFY(packets.size() > 0 && packets.size() < frames.size());
    for (qsizetype i = 0; i < packets.size(); ++i)
        QCOMPARE(packets[i].payload.toHex(), frames[i].bytes.toHex());
}

QTEST_GUILESS_MAIN(TestZevaCapture)
#include "tst_ZevaCapture.moc"
