#include "SimTestUtil.h"
#include "Config.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QUdpSocket>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <memory>
#include <vector>

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
    void floodWithoutReadingStaysBounded();
    void pipeliningLeavesOthersTheirShare();
    void connectionLimit();
    void idleTimeout();
    void incompleteRequestCloses();
    void devicePorts_data();
    void devicePorts();
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

long rssKiB(const QProcess& p)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(p.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const auto m = QRegularExpression(R"(VmRSS:\s*(\d+))").match(QString::fromLatin1(status.readAll()));
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

// Exchanges of one client, each request sent when the last answer is in.
class PingPong {
public:
    explicit PingPong(quint16 port)
    {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] {
            m_got += m_socket.readAll().size();
            for (; m_got >= 34; m_got -= 34) {
                ++m_answers;
                m_socket.write(kRequest);
            }
        });
        connectTo(m_socket, port);
        m_socket.write(kRequest);
    }
    int answers() const { return m_answers; }

    static inline const QByteArray kRequest = readRequest("%MW0", 2);

private:
    QTcpSocket m_socket;
    qsizetype m_got = 0;
    int m_answers = 0;
};

// Runs the event loop without pauses (QTest::qWait sleeps between rounds).
int answersWithin(PingPong& client, int ms)
{
    const int before = client.answers();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return client.answers() - before;
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
    for (const char* option : {"--fault", "--max-connections", "--idle-timeout", "--version"})
        QVERIFY2(out.contains(option), option);
    QProcess version;
    version.start(kProgram, {"--version"});
    QVERIFY(version.waitForFinished(kWait));
    QVERIFY(QRegularExpression(R"(^zeva-sim \d+\.\d+\S*\n$)").match(QString::fromLatin1(version.readAllStandardOutput())).hasMatch());
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
    QTest::newRow("var BIT FF") << QStringList{"--var", "X=BIT:FF"};
    QTest::newRow("var BIT 2") << QStringList{"--var", "X=BIT:2"};
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
    QTest::newRow("max-connections 0") << QStringList{"--max-connections", "0"};
    QTest::newRow("idle-timeout negative") << QStringList{"--idle-timeout", "-1"};
    QTest::newRow("animate unknown variable") << QStringList{"--animate", "RPM=counter"};
    QTest::newRow("animate address out of range") << QStringList{"--animate", "%MW2048=counter"};
    QTest::newRow("animate unknown kind") << QStringList{"--animate", "SPEED=square"};
    QTest::newRow("animate counter with period") << QStringList{"--animate", "SPEED=counter=10"};
    QTest::newRow("animate period 0") << QStringList{"--animate", "SPEED=sine=0"};
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

// A client that sends and never reads: the simulator stops reading it once
// its answers back up, and holds no more than a bounded amount for it.
void tst_SimProgram::floodWithoutReadingStaysBounded()
{
    QProcess p;
    // Under AddressSanitizer freed blocks wait in a quarantine of up to 256 MB;
    // a small one lets the resident size show what is really held.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":quarantine_size_mb=8");
    p.setProcessEnvironment(env);
    quint16 tcpPort = 0, udpPort = 0;
    QVERIFY(startOnFreePorts(p, &tcpPort, &udpPort));
    QTcpSocket tcp;
    tcp.setReadBufferSize(4096); // the answers stay in the kernel, unread
    QVERIFY(connectTo(tcp, tcpPort));
    const long before = rssKiB(p);
    const QByteArray chunk = readRequest("%MW0", 2).repeated(4096);
    constexpr qint64 kLimit = 256 * 1024 * 1024;
    qint64 written = 0;
    // Stalled: nothing taken off the socket for two seconds.
    bool stalled = false;
    qint64 waitingAtStall = 0;
    while (!stalled && written < kLimit) {
        while (tcp.bytesToWrite() < chunk.size()) {
            tcp.write(chunk);
            written += chunk.size();
        }
        waitingAtStall = tcp.bytesToWrite();
        stalled = !QTest::qWaitFor([&] { return tcp.bytesToWrite() < waitingAtStall; }, 2000);
    }
    const qint64 taken = written - tcp.bytesToWrite();
    QVERIFY2(stalled, qPrintable(QStringLiteral("%1 bytes taken").arg(taken)));
    const long grown = rssKiB(p) - before;
    QVERIFY2(grown < 48 * 1024, qPrintable(QStringLiteral("grew by %1 KiB after %2 bytes").arg(grown).arg(taken)));
    // Reading again lets it go on.
    tcp.setReadBufferSize(0);
    QVERIFY(QTest::qWaitFor([&] { tcp.readAll(); return tcp.bytesToWrite() < waitingAtStall; }, kWait));
    p.terminate();
    QVERIFY(p.waitForFinished(kWait));
}

// A client pipelining requests as fast as it can beside one that waits for
// each answer: the second keeps a good part of the rate it has alone.
void tst_SimProgram::pipeliningLeavesOthersTheirShare()
{
    QProcess p;
    quint16 tcpPort = 0, udpPort = 0;
    QVERIFY(startOnFreePorts(p, &tcpPort, &udpPort));
    PingPong client(tcpPort);
    QVERIFY(QTest::qWaitFor([&] { return client.answers() > 0; }, kWait));
    const int alone = answersWithin(client, 1500);

    QTcpSocket flood;
    QVERIFY(connectTo(flood, tcpPort));
    const QByteArray chunk = PingPong::kRequest.repeated(2048);
    qint64 floodAnswers = 0;
    const auto feed = [&] {
        floodAnswers += flood.readAll().size() / 34;
        if (flood.bytesToWrite() < chunk.size())
            flood.write(chunk);
    };
    connect(&flood, &QTcpSocket::readyRead, &flood, feed);
    connect(&flood, &QTcpSocket::bytesWritten, &flood, feed);
    feed();
    QVERIFY(QTest::qWaitFor([&] { return floodAnswers > 10000; }, kWait));
    const int beside = answersWithin(client, 1500);
    const QString figures = QStringLiteral("alone %1, beside the flood %2, flood answered %3").arg(alone).arg(beside).arg(floodAnswers);
    qInfo("%s", qPrintable(figures));
    QVERIFY2(beside * 10 >= alone, qPrintable(figures));
    p.terminate();
    QVERIFY(p.waitForFinished(kWait));
}

void tst_SimProgram::connectionLimit()
{
    QProcess p;
    quint16 tcpPort = 0, udpPort = 0;
    QVERIFY(startOnFreePorts(p, &tcpPort, &udpPort, {"--max-connections", "2", "--verbose"}));
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(connectTo(*clients.back(), tcpPort));
        if (i < 2)
            QCOMPARE(exchange(*clients.back(), readRequest("%MW0", 2)).size(), 34);
    }
    // The third is accepted and closed at once, and counted.
    QTRY_COMPARE_WITH_TIMEOUT(clients[2]->state(), QAbstractSocket::UnconnectedState, kWait);
    QByteArray log;
    QVERIFY(QTest::qWaitFor([&] { log += p.readAll(); return log.contains("refused"); }, kWait));
    QVERIFY2(log.contains("2 connections open, 1 refused so far"), log.constData());
    // A place freed is taken again.
    clients[0]->disconnectFromHost();
    QVERIFY(QTest::qWaitFor([&] { log += p.readAll(); return log.contains("disconnected"); }, kWait));
    QTcpSocket again;
    QVERIFY(connectTo(again, tcpPort));
    QCOMPARE(exchange(again, readRequest("%MW0", 2)).size(), 34);
    QCOMPARE(clients[1]->state(), QAbstractSocket::ConnectedState);
    p.terminate();
    QVERIFY(p.waitForFinished(kWait));
}

void tst_SimProgram::idleTimeout()
{
    QProcess p;
    quint16 tcpPort = 0, udpPort = 0;
    QVERIFY(startOnFreePorts(p, &tcpPort, &udpPort, {"--idle-timeout", "1"}));
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, tcpPort));
    QCOMPARE(exchange(tcp, readRequest("%MW0", 2)).size(), 34);
    QElapsedTimer silent;
    silent.start();
    QTRY_COMPARE_WITH_TIMEOUT(tcp.state(), QAbstractSocket::UnconnectedState, kWait);
    QVERIFY2(silent.elapsed() >= 900, qPrintable(QString::number(silent.elapsed())));
    p.terminate();
    QVERIFY(p.waitForFinished(kWait));
}

// A request never completed, a byte a second so that the client is not idle:
// the connection is closed after ten seconds.
void tst_SimProgram::incompleteRequestCloses()
{
    QProcess p;
    quint16 tcpPort = 0, udpPort = 0;
    QVERIFY(startOnFreePorts(p, &tcpPort, &udpPort, {"--idle-timeout", "3"}));
    QTcpSocket tcp;
    QVERIFY(connectTo(tcp, tcpPort));
    const QByteArray request = readRequest("%MW0", 2);
    QElapsedTimer held;
    held.start();
    tcp.write(request.left(2));
    for (int at = 2; at < request.size() && tcp.state() == QAbstractSocket::ConnectedState; ++at) {
        if (QTest::qWaitFor([&] { return tcp.state() != QAbstractSocket::ConnectedState; }, 1000))
            break;
        tcp.write(request.mid(at, 1));
    }
    QTRY_COMPARE_WITH_TIMEOUT(tcp.state(), QAbstractSocket::UnconnectedState, kWait);
    QVERIFY2(held.elapsed() >= 9900, qPrintable(QString::number(held.elapsed())));
    p.terminate();
    QVERIFY(p.waitForFinished(kWait));
}

// The first of count consecutive free ports, 0 when none was found.
quint16 freePorts(bool tcp, int count)
{
    for (int first = 20000 + int(QCoreApplication::applicationPid() % 1000) * 10; first < 32000; first += 97) {
        std::vector<std::unique_ptr<QObject>> held;
        for (int i = 0; i < count; ++i) {
            bool bound = false;
            if (tcp) {
                auto server = std::make_unique<QTcpServer>();
                bound = server->listen(QHostAddress::LocalHost, quint16(first + i));
                held.push_back(std::move(server));
            } else {
                auto socket = std::make_unique<QUdpSocket>();
                bound = socket->bind(QHostAddress::LocalHost, quint16(first + i));
                held.push_back(std::move(socket));
            }
            if (!bound)
                break;
            if (i == count - 1)
                return quint16(first);
        }
    }
    return 0;
}

// "2004-2006,3000" as its ports.
QList<quint16> expandPorts(const QString& list)
{
    QList<quint16> ports;
    for (const QString& part : list.split(QLatin1Char(','))) {
        const quint16 first = quint16(part.section(QLatin1Char('-'), 0, 0).toUInt());
        const quint16 last = part.contains(QLatin1Char('-')) ? quint16(part.section(QLatin1Char('-'), 1).toUInt()) : first;
        for (int port = first; port <= last && first != 0 && ports.size() < 100; ++port)
            ports.append(quint16(port));
    }
    return ports;
}

void tst_SimProgram::devicePorts_data()
{
    QTest::addColumn<bool>("consecutive");
    QTest::newRow("free ports") << false;
    QTest::newRow("consecutive ports") << true;
}

// Three devices: device i answers on the i-th port of each protocol, both
// reaching its own memory, and --animate applies to each.
void tst_SimProgram::devicePorts()
{
    QFETCH(bool, consecutive);
    constexpr int kDevices = 3;
    const quint16 tcpFirst = consecutive ? freePorts(true, kDevices) : 0;
    const quint16 udpFirst = consecutive ? freePorts(false, kDevices) : 0;
    QVERIFY(!consecutive || (tcpFirst && udpFirst));
    QProcess p;
    p.start(kProgram, {"--tcp-port", QString::number(tcpFirst), "--udp-port", QString::number(udpFirst), "--devices",
                       QString::number(kDevices), "--animate", "%MW1=counter"});
    QVERIFY(p.waitForStarted(kWait) && QTest::qWaitFor([&] { return p.canReadLine(); }, kWait));
    const QString line = QString::fromLocal8Bit(p.readLine()).trimmed();
    if (consecutive)
        QCOMPARE(line, QStringLiteral("zeva-sim listening on 127.0.0.1 tcp %1-%2 udp %3-%4")
                           .arg(tcpFirst).arg(tcpFirst + kDevices - 1).arg(udpFirst).arg(udpFirst + kDevices - 1));
    const auto m = QRegularExpression(R"(^zeva-sim listening on 127\.0\.0\.1 tcp ([\d,-]+) udp ([\d,-]+)$)").match(line);
    QVERIFY2(m.hasMatch(), qPrintable(line));
    const QList<quint16> tcpPorts = expandPorts(m.captured(1));
    const QList<quint16> udpPorts = expandPorts(m.captured(2));
    QCOMPARE(tcpPorts.size(), kDevices);
    QCOMPARE(udpPorts.size(), kDevices);

    std::vector<std::unique_ptr<QTcpSocket>> tcp;
    QUdpSocket udp;
    for (int i = 0; i < kDevices; ++i) {
        tcp.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(connectTo(*tcp.back(), tcpPorts[i]));
        QCOMPARE(exchange(*tcp.back(), writeRequest("%MW0", 2, le16(0x100 + i))).size(), 30);
    }
    for (int i = 0; i < kDevices; ++i) {
        QCOMPARE(exchange(udp, udpPorts[i], readRequest("%MW0", 2)).mid(32), le16(0x100 + i));
        QCOMPARE(exchange(*tcp[i], readRequest("%MW1", 2)).mid(32), le16(0));
    }
    QCOMPARE(exchange(udp, udpPorts[0], readRequest("%MW1", 2)).mid(32), le16(1));
    p.terminate();
    QVERIFY(p.waitForFinished(kWait));
}

QTEST_GUILESS_MAIN(tst_SimProgram)
#include "tst_SimProgram.moc"
