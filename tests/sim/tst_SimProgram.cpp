#include "SimTestUtil.h"
#include "Config.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <csignal>

using namespace simtest;

// The zeva-sim program as scripts use it, and its command line.
class tst_SimProgram : public QObject {
    Q_OBJECT
private slots:
    void help();
    void badArguments_data();
    void badArguments();
    void reportsPortsAndServes();
    void portTaken();
    void endsCleanlyOnSignal_data();
    void endsCleanlyOnSignal();
    void parsesArguments();
};

namespace {

const QString kProgram = QStringLiteral(ZEVA_SIM_PATH);

// Starts the program on free ports and reads its first line.
bool startOnFreePorts(QProcess& p, quint16* tcp, quint16* udp, const QStringList& extra = {})
{
    p.start(kProgram, QStringList{"--tcp-port", "0", "--udp-port", "0"} + extra);
    if (!p.waitForStarted(kWait) || !QTest::qWaitFor([&] { return p.canReadLine(); }, kWait))
        return false;
    const QString line = QString::fromLocal8Bit(p.readLine()).trimmed();
    const auto m = QRegularExpression(R"(^zeva-sim listening on 127\.0\.0\.1 tcp (\d+) udp (\d+)$)").match(line);
    if (!m.hasMatch())
        return false;
    *tcp = quint16(m.captured(1).toUInt());
    *udp = quint16(m.captured(2).toUInt());
    return *tcp != 0 && *udp != 0;
}

} // namespace

void tst_SimProgram::help()
{
    QProcess p;
    p.start(kProgram, {"--help"});
    QVERIFY(p.waitForFinished(kWait));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const QByteArray out = p.readAllStandardOutput();
    QVERIFY(out.startsWith("Usage: zeva-sim"));
    QVERIFY(out.contains("--fault"));
}

void tst_SimProgram::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("unknown option") << QStringList{"--bogus"};
    QTest::newRow("stray word") << QStringList{"2004"};
    QTest::newRow("port not a number") << QStringList{"--tcp-port", "x"};
    QTest::newRow("port too big") << QStringList{"--udp-port", "65536"};
    QTest::newRow("missing value") << QStringList{"--tcp-port"};
    QTest::newRow("bad address") << QStringList{"--bind", "300.1.1.1"};
    QTest::newRow("state too long") << QStringList{"--state", "12345"};
    QTest::newRow("state not hex") << QStringList{"--state", "12G4"};
    QTest::newRow("var without type") << QStringList{"--var", "X"};
    QTest::newRow("var unknown type") << QStringList{"--var", "X=REAL"};
    QTest::newRow("var name too long") << QStringList{"--var", "ABCDEFGHIJKLMNOPQ=WORD"};
    QTest::newRow("var value too big") << QStringList{"--var", "X=BYTE:100"};
    QTest::newRow("unknown fault") << QStringList{"--fault", "explode"};
    QTest::newRow("delay without ms") << QStringList{"--fault", "delay"};
    QTest::newRow("negative truncate") << QStringList{"--fault", "truncate=-1"};
    QTest::newRow("close-after 0") << QStringList{"--fault", "close-after=0"};
    QTest::newRow("error without code") << QStringList{"--fault", "error=SPEED"};
    QTest::newRow("error code too big") << QStringList{"--fault", "error=SPEED:0x10000"};
    QTest::newRow("drop over 100 percent") << QStringList{"--fault", "drop=101"};
    QTest::newRow("seq-offset 0") << QStringList{"--fault", "seq-offset=0"};
    QTest::newRow("seed negative") << QStringList{"--seed", "-1"};
    QTest::newRow("verbose with value") << QStringList{"--verbose=yes"};
}

void tst_SimProgram::badArguments()
{
    QFETCH(QStringList, args);
    QProcess p;
    p.start(kProgram, args);
    QVERIFY(p.waitForFinished(kWait));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(err.startsWith("zeva-sim: ") && err.count('\n') == 1, err.constData());
    QVERIFY(p.readAllStandardOutput().isEmpty());
}

void tst_SimProgram::reportsPortsAndServes()
{
    QProcess p;
    quint16 tcpPort = 0, udpPort = 0;
    QVERIFY(startOnFreePorts(p, &tcpPort, &udpPort, {"--state", "0201", "--var", "RPM=WORD:ro:ABCD", "--verbose"}));
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, tcpPort));
    QCOMPARE(exchange(tcp, readRequest("RPM", 2)).toHex(),
             QByteArray("564f524e2d4b454c54550102001100000e000019" "550002000000000001000200cdab"));
    QUdpSocket udp;
    QCOMPARE(exchange(udp, udpPort, readRequest("RPM", 2)).mid(32).toHex(), QByteArray("cdab"));
    // --verbose: request and answer lines, the frame in hex.
    QVERIFY(QTest::qWaitFor([&] { return p.bytesAvailable() > 0 && p.peek(4096).count('\n') >= 5; }, kWait));
    const QByteArray log = p.readAll();
    QVERIFY2(log.contains("< 56 4F 52 4E 2D 4B 45 4C 54 55 00 00 00 33"), log.constData());
    QVERIFY2(log.contains("> 56 4F 52 4E 2D 4B 45 4C 54 55 01 02 00 11"), log.constData());
    p.terminate();
    QVERIFY(p.waitForFinished(kWait));
}

void tst_SimProgram::portTaken()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    QProcess p;
    p.start(kProgram, {"--tcp-port", QString::number(taken.serverPort()), "--udp-port", "0"});
    QVERIFY(p.waitForFinished(kWait));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 1);
    QCOMPARE(p.readAllStandardError().count('\n'), 1);
    QVERIFY(p.readAllStandardOutput().isEmpty());
}

void tst_SimProgram::endsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_SimProgram::endsCleanlyOnSignal()
{
    QFETCH(int, signal);
    QProcess p;
    quint16 tcpPort = 0, udpPort = 0;
    QVERIFY(startOnFreePorts(p, &tcpPort, &udpPort));
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, tcpPort));
    QCOMPARE(exchange(tcp, readRequest("%MW0", 2)).size(), 34);
    ::kill(pid_t(p.processId()), signal);
    QVERIFY(p.waitForFinished(kWait));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
}

void tst_SimProgram::parsesArguments()
{
    QString error;
    const auto config = sim::parseArguments({"zeva-sim", "--state", "0201", "--bind=::1", "--tcp-port=0",
                                             "--var", "RATE=LWORD", "--var", "SPEED=BYTE:ro",
                                             "--fault", "delay=250", "--fault", "error=%MW0:0x24"}, &error);
    QVERIFY2(config, qPrintable(error));
    QCOMPARE(config->stateWord, quint16(0x0201));
    QCOMPARE(config->bind, QHostAddress(QHostAddress::LocalHostIPv6));
    QCOMPARE(config->tcpPort, quint16(0));
    QCOMPARE(config->udpPort, quint16(2005));
    QCOMPARE(config->faults.delayMs, 250);
    QCOMPARE(config->faults.errors.value("%MW0"), quint16(0x24));
    // SPEED replaced, LIMIT FLAG TOTAL kept, RATE added.
    QCOMPARE(config->variables.size(), size_t(5));
    const auto speed = std::find_if(config->variables.begin(), config->variables.end(),
                                    [](const sim::NamedVariable& v) { return v.name == "SPEED"; });
    QCOMPARE(speed->type, sim::VarType::Byte);
    QVERIFY(speed->readOnly);
    const auto defaults = sim::parseArguments({"zeva-sim"});
    QCOMPARE(defaults->bind, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(defaults->tcpPort, quint16(2004));
}

QTEST_GUILESS_MAIN(tst_SimProgram)
#include "tst_SimProgram.moc"
