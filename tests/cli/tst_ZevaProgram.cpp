// The zeva program end to end, as a script runs it: against the zeva-sim
// program on free ports, over TCP and UDP, one case per exit status, the
// JSON output parsed, refused input that sends nothing, a value written as a
// float, the summary on SIGINT and SIGTERM, a device that closes or drops the
// connection, a truncated answer, a device slower than the timeout, a slow
// host name look-up, hand-built frames, many devices and variables in one
// run, a device that floods answers, every request accounted for, the times
// of -D and JSON, and no Qt warning.

#include <SimProcess.h>
#include <UnderWine.h>
#include <Zeva.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUdpSocket>

#include <csignal>
#include <numeric>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr int kWait = 60000; // generous: the sanitizer build on a busy machine is slow

const QString kZeva = QStringLiteral(ZEVA_PATH);
// zeva-sim as a separate process on free ports, given its command line.
struct Sim {
    std::unique_ptr<simtest::Simulator> process;
    quint16 tcp = 0;
    quint16 udp = 0;
    QList<quint16> tcps;
    QList<quint16> udps;

    bool Start(const QStringList& extra)
    {
        QString error;
        const auto config = sim::parseArguments(QStringList{"zeva-sim", "--tcp-port", "0", "--udp-port", "0"} + extra, &error);
        if (!config) {
            qWarning() << error;
            return false;
        }
        process = std::make_unique<simtest::Simulator>(*config);
        if (!process->start(&error)) {
            qWarning() << error;
            return false;
        }
        for (int i = 0; i < process->deviceCount(); ++i) {
            tcps << process->tcpPort(i);
            udps << process->udpPort(i);
        }
        tcp = tcps.value(0);
        udp = udps.value(0);
        return true;
    }
};

#ifdef _WIN32
// Windows has no signals to send: Ctrl-C and Ctrl-Break reach the programs
// of a console. The test joins the child's console for as long as it takes to
// press the keys there, ignoring them itself.
// Empty when done, else the call that failed.
QString PressInConsoleOf(qint64 pid, DWORD event)
{
    ::FreeConsole();
    if (!::AttachConsole(DWORD(pid)))
        return QStringLiteral("AttachConsole (error %1)").arg(::GetLastError());
    ::SetConsoleCtrlHandler(nullptr, TRUE);
    const bool sent = ::GenerateConsoleCtrlEvent(event, 0);
    const DWORD error = ::GetLastError();
    ::FreeConsole();
    return sent ? QString() : QStringLiteral("GenerateConsoleCtrlEvent (error %1)").arg(error);
}

#endif

// What zeva printed. A Windows console program's lines end in CR LF there.
QString Printed(const QByteArray& bytes)
{
    QString text = QString::fromUtf8(bytes);
#ifdef _WIN32
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
#endif
    return text;
}

// {tcp} and {udp} stand for the simulator's ports.
QStringList WithPorts(QStringList args, quint16 tcp, quint16 udp)
{
    for (QString& a : args)
        a.replace(QLatin1String("{tcp}"), QString::number(tcp)).replace(QLatin1String("{udp}"), QString::number(udp));
    return args;
}

struct Result {
    int status = -1;
    QString out;
    QString err;
};

Result RunZeva(const QStringList& args)
{
    QProcess p;
    p.start(kZeva, args);
    Result r;
    if (!p.waitForFinished(kWait) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.out = Printed(p.readAllStandardOutput());
    r.err = Printed(p.readAllStandardError());
    return r;
}

QList<QJsonObject> JsonLines(const QString& out)
{
    QList<QJsonObject> objects;
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            return {};
        objects << doc.object();
    }
    return objects;
}

} // namespace

class TestZevaProgram : public QObject {
    Q_OBJECT

private slots:
    void exitStatus_data();
    void exitStatus();
    void refusedInputSendsNothing_data();
    void refusedInputSendsNothing();
    void json_data();
    void json();
    void formattedWriteOnTheWire();
    void signalEndsWithSummary_data();
    void signalEndsWithSummary();
    void helpAndVersion();
    void deviceClosesConnection_data();
    void deviceClosesConnection();
    void truncatedAnswerReported();
    void udpDeviceSlowerThanTimeout();
    void hostLookedUpBeforeTiming_data();
    void hostLookedUpBeforeTiming();
    void sendHandBuiltFrame_data();
    void sendHandBuiltFrame();
    void deviceAndVariableForms_data();
    void deviceAndVariableForms();
    void manyDevicesAtOnce_data();
    void manyDevicesAtOnce();
    void tooManyDevicesForOpenFiles();
    void floodingDeviceHoldsNoOneBack_data();
    void floodingDeviceHoldsNoOneBack();
    void everyRequestAccounted_data();
    void everyRequestAccounted();
    void unixTimeOnEveryLine();
    void noQtWarningAfterLargeAnswer();
};

void TestZevaProgram::exitStatus_data()
{
    QTest::addColumn<QStringList>("sim");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // a line of standard output that must be there

    const QString undefined = QStringLiteral("지정된 변수가 엑세스 경로에 정의되어있지 않습니다.");
    QTest::newRow("0 read, tcp") << QStringList() << QStringList{"-p", "{tcp}", "read", "%mw0"} << 0
                                 << "value=0000 state=0000 time=";
    QTest::newRow("0 write then poll, udp")
        << QStringList{"--var", "SPEED=WORD:1F4"} << QStringList{"-u", "-p", "{udp}", "-t", "word", "-c", "2", "poll", "speed"}
        << 0 << "--- 127.0.0.1 udp SPEED ---";
    QTest::newRow("0 status, udp") << QStringList() << QStringList{"-u", "-p", "{udp}", "status"} << 0
                                   << "value=14131211100F0E0D0C0B0A090807060504030201 state=0000";
    QTest::newRow("1 device error, tcp") << QStringList{"--fault", "error=%MW0:0x21"}
                                         << QStringList{"-p", "{tcp}", "read", "%MW0"} << 1
                                         << "seq=1 " + undefined;
    QTest::newRow("1 malformed, udp") << QStringList{"--fault", "truncate=25"}
                                      << QStringList{"-u", "-p", "{udp}", "read", "%MW0"} << 1 << "malformed state=0000";
    QTest::newRow("2 named variable without type") << QStringList() << QStringList{"-p", "{tcp}", "read", "SPEED"}
                                                   << 2 << QString();
    QTest::newRow("2 retries over tcp") << QStringList() << QStringList{"-p", "{tcp}", "--retries", "1", "status"}
                                        << 2 << QString();
    // The device takes the request, answers nothing and closes after 1 s.
    QTest::newRow("3 closed by the device, tcp")
        << QStringList{"--fault", "drop", "--idle-timeout", "1"}
        << QStringList{"-p", "{tcp}", "--timeout", "5000", "-c", "1", "read", "%MW0"} << 3
        << "1 sent, 0 answered, 0 timeouts, 1 closed, 0 retries, 0 late, 0 device errors, 0 malformed, 0 reconnects, 100% loss";
    // A single read ends at the close, its request counted as closed.
    QTest::newRow("3 closed during a single read, tcp")
        << QStringList{"--fault", "drop", "--idle-timeout", "1"}
        << QStringList{"-p", "{tcp}", "--timeout", "5000", "--json", "read", "%MW0"} << 3
        << R"({"summary":{"answered":0,"closed":1,)";
    QTest::newRow("3 no answer, udp") << QStringList{"--fault", "drop"}
                                      << QStringList{"-u", "-p", "{udp}", "--timeout", "200", "--retries", "1", "read", "%MW0"}
                                      << 3 << "timeout seq=2 retries=1";
    QTest::newRow("3 only late answers, tcp")
        << QStringList{"--fault", "seq-offset=1"} << QStringList{"-p", "{tcp}", "--timeout", "300", "-c", "2", "read", "%MW0"}
        << 3 << "2 sent, 0 answered, 2 timeouts, 0 closed, 0 retries, 2 late, 0 device errors, 0 malformed, 1 reconnects, 100% loss";
    QTest::newRow("4 max-rtt, tcp") << QStringList{"--fault", "delay=50"}
                                    << QStringList{"-p", "{tcp}", "--max-rtt", "20", "read", "%MW0"} << 4 << QString();
    QTest::newRow("4 max-loss, udp")
        << QStringList{"--fault", "drop=50", "--seed", "7"}
        << QStringList{"-u", "-p", "{udp}", "--timeout", "200", "-c", "6", "--max-loss", "10", "-q", "poll", "%MW0"} << 4
        << "--- 127.0.0.1 udp %MW0 ---";
    QTest::newRow("0 summary table, two devices and two variables")
        << QStringList{"--var", "SPEED=WORD:1F4"}
        << QStringList{"-H", "127.0.0.1:{tcp}", "-H", "localhost:{tcp}", "-c", "1", "-q", "read", "%MW0", "speed:word"} << 0
        << "--- 2 devices, 2 variables, tcp ---\nDEVICE           VARIABLE  SENT  ANSWERED  TIMEOUTS  CLOSED  LATE  ERRORS  "
           "RECONNECTS  LOSS%  MIN";
    QTest::newRow("4 over 1, the highest") << QStringList{"--fault", "error=%MW0:0x21"}
                                           << QStringList{"-p", "{tcp}", "--max-rtt", "0", "read", "%MW0"} << 4
                                           << "error=33 state=0000 time=";
}

void TestZevaProgram::exitStatus()
{
    QFETCH(QStringList, sim);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, out);

    Sim device;
    QVERIFY(device.Start(sim));
    const Result r = RunZeva(WithPorts(args, device.tcp, device.udp));
    QVERIFY2(r.status == status, qPrintable(QStringLiteral("status %1\n%2%3").arg(r.status).arg(r.out, r.err)));
    if (!out.isEmpty())
        QVERIFY2(r.out.contains(out), qPrintable(r.out));
    if (status == 2)
        QVERIFY(r.err.startsWith(QLatin1String("zeva: ")));
}

void TestZevaProgram::refusedInputSendsNothing_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("text");

    QTest::newRow("not hex") << QStringList{"write", "%MW0", "12G4"} << "the value is not hexadecimal";
    QTest::newRow("too long for the type") << QStringList{"write", "%MB0", "100"}
                                           << "the value is longer than its type holds";
    QTest::newRow("body over 255 bytes") << QStringList{"read", "%MW" + QString(243, QLatin1Char('0'))}
                                         << "the request is longer than a frame may be";
    QTest::newRow("name outside latin-1") << QStringList{"-t", "WORD", "read", QStringLiteral("속도")}
                                          << "the name holds a character that cannot be sent";
    QTest::newRow("bit of 2") << QStringList{"write", "%MX3", "2"} << "%MX3: a BIT takes 0 or 1, not 2";
    QTest::newRow("bit of -1") << QStringList{"-f", "signed", "write", "%MX3", "--", "-1"}
                               << "%MX3: a BIT takes 0 or 1, not -1";
    QTest::newRow("empty value") << QStringList{"write", "%MW0", ""} << QStringLiteral("the value is empty");
}

void TestZevaProgram::refusedInputSendsNothing()
{
    QFETCH(QStringList, args);
    QFETCH(QString, text);

    for (const bool udp : {false, true}) {
        QTcpServer tcp;
        QUdpSocket datagrams;
        QVERIFY(tcp.listen(QHostAddress::LocalHost, 0));
        QVERIFY(datagrams.bind(QHostAddress::LocalHost, 0));
        const QStringList target = udp ? QStringList{"-u", "-p", QString::number(datagrams.localPort())}
                                       : QStringList{"-p", QString::number(tcp.serverPort())};
        const Result r = RunZeva(target + args);
        QCOMPARE(r.status, 2);
        QCOMPARE(r.err, QStringLiteral("zeva: %1\n").arg(text));
        QVERIFY(r.out.isEmpty());
        QVERIFY(!tcp.waitForNewConnection(0) && !tcp.hasPendingConnections());
        QVERIFY(!datagrams.hasPendingDatagrams());
    }
}

void TestZevaProgram::json_data()
{
    QTest::addColumn<bool>("udp");
    QTest::newRow("tcp") << false;
    QTest::newRow("udp") << true;
}

void TestZevaProgram::json()
{
    QFETCH(bool, udp);
    Sim device;
    QVERIFY(device.Start({"--fault", "error=SPEED:5"}));
    const QStringList target = udp ? QStringList{"-u", "-p", QString::number(device.udp)}
                                   : QStringList{"-p", QString::number(device.tcp)};

    Result r = RunZeva(target + QStringList{"--json", "-c", "3", "poll", "%MD1"});
    QCOMPARE(r.status, 0);
    QList<QJsonObject> lines = JsonLines(r.out);
    QCOMPARE(lines.size(), 4);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(lines[i].value("seq").toInt(), i + 1);
        QVERIFY(lines[i].value("rtt_us").isDouble());
        QCOMPARE(lines[i].value("state").toString(), QStringLiteral("0000"));
        QCOMPARE(lines[i].value("value").toString(), QStringLiteral("00000000"));
        const QString time = lines[i].value("time").toString(); // UTC, as the CSV's
        QVERIFY2(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$)").match(time).hasMatch(), qPrintable(time));
    }
    const QJsonObject summary = lines[3].value("summary").toObject();
    QCOMPARE(summary.value("sent").toInt(), 3);
    QCOMPARE(summary.value("answered").toInt(), 3);
    QCOMPARE(summary.value("timeouts").toInt(), 0);
    QCOMPARE(summary.value("loss_pct").toDouble(), 0.0);
    const QJsonObject rtt = summary.value("rtt_us").toObject();
    QVERIFY(rtt.value("min").toInt() <= rtt.value("p50").toInt());
    QVERIFY(rtt.value("p50").toInt() <= rtt.value("p99").toInt());
    QVERIFY(rtt.value("p99").toInt() <= rtt.value("max").toInt());
    QVERIFY(rtt.value("avg").isDouble() && rtt.value("mdev").isDouble());

    // A device error carries its code and text; a single read ends with the summary too.
    r = RunZeva(target + QStringList{"--json", "-t", "WORD", "read", "SPEED"});
    QCOMPARE(r.status, 1);
    lines = JsonLines(r.out);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].value("error").toInt(), 5);
    QCOMPARE(lines[0].value("text").toString(), QStringLiteral("오류가 발생하였습니다. 오류번호:5"));
    QCOMPARE(lines[1].value("summary").toObject().value("device_errors").toInt(), 1);
}

// A value given as a float goes out as the DWORD's IEEE 754 bytes, least
// significant first, and reads back as the same float.
void TestZevaProgram::formattedWriteOnTheWire()
{
    Sim device;
    QVERIFY(device.Start({}));
    const QStringList target{"-p", QString::number(device.tcp), "-f", "float"};

    Result r = RunZeva(target + QStringList{"--trace", "write", "%MD10", "1.5"});
    QCOMPARE(r.status, 0);
    const QString sent = r.err.split(QLatin1Char('\n')).value(0);
    QVERIFY2(sent.contains(QLatin1String(" send ")) && sent.endsWith(QLatin1String(" 04 00 00 00 C0 3F")),
             qPrintable(r.err));

    r = RunZeva(target + QStringList{"read", "%MD10"});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.startsWith(QLatin1String("value=1.5 state=0000 ")), qPrintable(r.out));
}

void TestZevaProgram::signalEndsWithSummary_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("udp");
#ifdef _WIN32
    QTest::newRow("Ctrl-C, tcp") << int(CTRL_C_EVENT) << false;
    QTest::newRow("Ctrl-Break, udp") << int(CTRL_BREAK_EVENT) << true;
#else
    QTest::newRow("SIGINT, tcp") << int(SIGINT) << false;
    QTest::newRow("SIGTERM, udp") << int(SIGTERM) << true;
    // The summary so far on standard error, and the poll goes on.
    QTest::newRow("SIGQUIT then SIGINT, tcp") << int(SIGQUIT) << false;
#endif
}

void TestZevaProgram::signalEndsWithSummary()
{
    QFETCH(int, signal);
    QFETCH(bool, udp);
    Sim device;
    QVERIFY(device.Start({}));
    QTemporaryDir dir;
    const QString csv = dir.filePath("run.csv");

    const QStringList target = udp ? QStringList{"-u", "-p", QString::number(device.udp)}
                                   : QStringList{"-p", QString::number(device.tcp)};
    QProcess p;
    p.start(kZeva, target + QStringList{"-i", "20", "--csv", csv, "poll", "%MW0"});
    QVERIFY(p.waitForStarted(kWait));
    QVERIFY(QTest::qWaitFor([&] { return p.canReadLine(); }, kWait));
#ifdef _WIN32
    // Wine refuses CTRL_BREAK_EVENT (ERROR_INVALID_HANDLE), and a program
    // that has joined one console there sends no event to the next it joins.
    static int joined = 0;
    if (UnderWine() && (signal == CTRL_BREAK_EVENT || joined++ > 0)) {
        p.kill();
        QSKIP("Wine sends only Ctrl-C, and only to the first console a program joins");
    }
    if (const QString failed = PressInConsoleOf(p.processId(), DWORD(signal)); !failed.isEmpty()) {
        p.kill();
        QFAIL(qPrintable(failed));
    }
#else
    ::kill(pid_t(p.processId()), signal);
    if (signal == SIGQUIT) {
        QByteArray err;
        QVERIFY(QTest::qWaitFor([&] { return (err += p.readAllStandardError()).contains(" answered, "); }, kWait));
        QVERIFY2(err.startsWith("--- 127.0.0.1 tcp %MW0 ---\n"), err.constData());
        const qint64 seen = p.readAllStandardOutput().count('\n');
        QVERIFY(QTest::qWaitFor([&] { return p.bytesAvailable() > 0; }, kWait));
        QVERIFY(seen > 0 && p.state() == QProcess::Running);
        ::kill(pid_t(p.processId()), SIGINT);
    }
#endif
    QVERIFY(p.waitForFinished(kWait));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);

    const QString out = Printed(p.readAllStandardOutput());
    const auto m = QRegularExpression(QStringLiteral(R"(^(\d+) sent, \1 answered, 0 timeouts)"),
                                      QRegularExpression::MultilineOption)
                       .match(out);
    QVERIFY2(m.hasMatch(), qPrintable(out));
    QVERIFY(out.contains(QLatin1String("rtt min/avg/max/mdev = ")));

    // Every exchange is in the file, written out before the end.
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = file.readAll().split('\n');
    QCOMPARE(rows.first(), QByteArray("time,seq,rtt_us,outcome,state,value,device,variable"));
    QCOMPARE(rows.size() - 2, m.captured(1).toInt()); // header and the empty piece after the last line end
    QVERIFY(rows[1].contains(",1,"));
    QVERIFY2(rows[1].endsWith(QStringLiteral(",answer,0000,0000,127.0.0.1:%1,%MW0").arg(udp ? device.udp : device.tcp).toLatin1()),
             rows[1].constData());
}

void TestZevaProgram::helpAndVersion()
{
    Result r = RunZeva({"--help"});
    QCOMPARE(r.status, 0);
    QVERIFY(r.out.startsWith(QLatin1String("Usage: zeva [options] COMMAND")));
    QVERIFY(r.out.contains(QLatin1String("--max-loss")) && r.out.contains(QLatin1String("Exit status")));
    r = RunZeva({"--version"});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out, QStringLiteral("zeva %1\n").arg(QStringLiteral(ZEVA_VERSION)));
}

void TestZevaProgram::deviceClosesConnection_data()
{
    QTest::addColumn<QStringList>("sim");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("stopDevice"); // the device goes away after the first answer
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("answered");    // -1: any
    QTest::addColumn<int>("closedMin");
    QTest::addColumn<int>("closedMax");
    QTest::addColumn<int>("reconnects");

    // The simulator closes a connection quiet for 1 s within a quarter second more.
    QTest::newRow("idle connection closed between requests")
        << QStringList{"--idle-timeout", "1"} << QStringList{"-i", "2000", "-c", "3", "poll", "%MW0"} << false << 0
        << 3 << 0 << 0 << 2;
    // The device takes each request, answers nothing and closes after 1 s.
    QTest::newRow("closed with a request outstanding")
        << QStringList{"--fault", "drop", "--idle-timeout", "1"} << QStringList{"--timeout", "5000", "-c", "2", "poll", "%MW0"}
        << false << 3 << 0 << 2 << 2 << 1;
    // The close comes right behind each answer: the next request goes out
    // on a new connection.
    QTest::newRow("closed right behind each answer")
        << QStringList{"--fault", "close-after=1"} << QStringList{"-c", "3", "poll", "%MW0"} << false << 0 << 3 << 0
        << 0 << 2;
    // Refused from then on: one request lost a second, not one a period.
    QTest::newRow("device gone, connection refused")
        << QStringList() << QStringList{"-i", "50", "-w", "2.5", "poll", "%MW0"} << true << 3 << -1 << 1 << 5 << 0;
}

void TestZevaProgram::deviceClosesConnection()
{
    QFETCH(QStringList, sim);
    QFETCH(QStringList, args);
    QFETCH(bool, stopDevice);
    QFETCH(int, status);
    QFETCH(int, answered);
    QFETCH(int, closedMin);
    QFETCH(int, closedMax);
    QFETCH(int, reconnects);

    Sim device;
    QVERIFY(device.Start(sim));
    QProcess p;
    p.start(kZeva, QStringList{"-p", QString::number(device.tcp), "--json"} + args);
    QVERIFY(p.waitForStarted(kWait));
    if (stopDevice) {
        QVERIFY(QTest::qWaitFor([&] { return p.canReadLine(); }, kWait));
        device.process->stop();
    }
    QVERIFY(p.waitForFinished(kWait));
    const QString out = Printed(p.readAllStandardOutput());
    QVERIFY2(p.exitCode() == status, qPrintable(QStringLiteral("status %1\n").arg(p.exitCode()) + out));

    const QList<QJsonObject> lines = JsonLines(out);
    QVERIFY2(!lines.isEmpty() && lines.last().contains("summary"), qPrintable(out));
    int closed = 0;
    int answers = 0;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].value("closed").toBool())
            ++closed;
        else if (lines[i].contains("value"))
            ++answers;
    }
    const QJsonObject summary = lines.last().value("summary").toObject();
    QVERIFY2(closed >= closedMin && closed <= closedMax, qPrintable(out));
    QCOMPARE(summary.value("answered").toInt(), answers);
    if (answered >= 0)
        QCOMPARE(answers, answered);
    else
        QVERIFY(answers >= 1);
    // A request lost with its connection counts as sent.
    QCOMPARE(summary.value("sent").toInt(), answers + closed);
    QCOMPARE(summary.value("timeouts").toInt(), 0);
    QCOMPARE(summary.value("reconnects").toInt(), reconnects);
}

void TestZevaProgram::truncatedAnswerReported()
{
    Sim device;
    QVERIFY(device.Start({"--fault", "truncate=25"}));
    const Result r = RunZeva({"-p", QString::number(device.tcp), "--timeout", "300", "--json", "--trace", "read", "%MW0"});
    QVERIFY2(r.status == 3, qPrintable(r.out + r.err));

    // The 25 bytes that came are one malformed frame, then the request times out.
    const QList<QJsonObject> lines = JsonLines(r.out);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].value("malformed").toBool());
    QCOMPARE(lines[0].value("bytes").toInt(), 25);
    QCOMPARE(lines[0].value("seq").toInt(), 1);
    QVERIFY(!lines[0].contains("rtt_us"));
    QVERIFY(lines[1].value("timeout").toBool());
    QCOMPARE(lines[1].value("seq").toInt(), 1);
    const QJsonObject summary = lines[2].value("summary").toObject();
    QCOMPARE(summary.value("malformed").toInt(), 1);
    QCOMPARE(summary.value("timeouts").toInt(), 1);
    QCOMPARE(summary.value("answered").toInt(), 0);

    // And the trace shows them.
    const auto received = QRegularExpression(QStringLiteral(R"(recv seq=1 .*malformed \| ((?:[0-9A-F]{2} ?)+)$)"),
                                             QRegularExpression::MultilineOption)
                              .match(r.err);
    QVERIFY2(received.hasMatch(), qPrintable(r.err));
    QCOMPARE(received.captured(1).split(QLatin1Char(' ')).size(), 25);
}

void TestZevaProgram::udpDeviceSlowerThanTimeout()
{
    // Every answer takes 150 ms; each request is sent again after 100 ms.
    Sim device;
    QVERIFY(device.Start({"--fault", "delay=150"}));
    const Result r = RunZeva({"-u", "-p", QString::number(device.udp), "--timeout", "100", "--retries", "2", "-c",
                              "3", "--json", "poll", "%MW0"});
    QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
    const QList<QJsonObject> lines = JsonLines(r.out);
    QVERIFY(!lines.isEmpty());
    const QJsonObject summary = lines.last().value("summary").toObject();
    QCOMPARE(summary.value("sent").toInt(), 3);
    QCOMPARE(summary.value("answered").toInt(), 3);
    QCOMPARE(summary.value("loss_pct").toDouble(), 0.0);
    QVERIFY(summary.value("retries").toInt() >= 1);
}

void TestZevaProgram::hostLookedUpBeforeTiming_data()
{
    QTest::addColumn<bool>("udp");
    QTest::newRow("tcp") << false;
    QTest::newRow("udp") << true;
}

void TestZevaProgram::hostLookedUpBeforeTiming()
{
    QFETCH(bool, udp);
    Sim device;
    QVERIFY(device.Start({}));

    // A name server that takes 300 ms: no round trip may hold that.
    int lookUps = 0;
    const cli::HostLookUp slow = [&](const std::string& host, std::string* error) {
        ++lookUps;
        QThread::msleep(300);
        if (host == "plc.test")
            return std::string("127.0.0.1");
        *error = "Host not found";
        return std::string();
    };
    const QStringList target = udp ? QStringList{"-u", "-p", QString::number(device.udp)}
                                   : QStringList{"-p", QString::number(device.tcp)};
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    QVERIFY(out && err);
    const int status = cli::Run(QStringList{"zeva", "-H", "plc.test", "--max-rtt", "200", "-c", "2", "--json"}
                                    + target + QStringList{"poll", "%MW0"},
                                out, err, slow);
    QByteArray text(1 << 16, '\0');
    std::rewind(out);
    text.resize(qsizetype(std::fread(text.data(), 1, std::size_t(text.size()), out)));
    std::fclose(out);
    std::fclose(err);

    QVERIFY2(status == 0, qPrintable(QStringLiteral("status %1\n").arg(status) + QString::fromUtf8(text)));
    QCOMPARE(lookUps, 1);
    const QList<QJsonObject> lines = JsonLines(QString::fromUtf8(text));
    QCOMPARE(lines.size(), 3);
    const QJsonObject summary = lines[2].value("summary").toObject();
    QCOMPARE(summary.value("answered").toInt(), 2);
    QVERIFY(summary.value("rtt_us").toObject().value("max").toInt() < 200'000);
}

void TestZevaProgram::sendHandBuiltFrame_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // must be in standard output
    QTest::addColumn<QString>("err"); // must be in standard error

    const QString statusData = QStringLiteral("B10000000000000014000102030405060708090A0B0C0D0E0F1011121314");
    QTest::newRow("status body, tcp")
        << QStringList{"-p", "{tcp}", "send", "B0:00:00", "00 00 00"} << 0
        << "cmd=B1 value=14131211100F0E0D0C0B0A090807060504030201 state=0000 time=" << QString();
    QTest::newRow("status body, hex line")
        << QStringList{"-p", "{tcp}", "send", "B00000000000"} << 0
        << " seq=1\nhex=564F524E2D4B454C54550000001101001E000027" + statusData + "\n" << QString();
    QTest::newRow("status body, json")
        << QStringList{"-u", "-p", "{udp}", "--json", "send", "B00000000000"} << 0
        << R"("hex":"564F524E2D4B454C54550000001101001E000027)" + statusData + '"' << QString();
    // The number in bytes 14..15 is the frame's own, and the answer echoes it.
    QTest::newRow("raw, the same frame, udp")
        << QStringList{"-u", "-p", "{udp}", "--raw", "send", "564F524E2D4B454C545500000033070006000037", "B00000000000"}
        << 0 << "seq=7\nhex=564F524E2D4B454C54550000001107001E00002D" + statusData + "\n" << QString();
    QTest::newRow("raw, the same frame, tcp")
        << QStringList{"-p", "{tcp}", "--raw", "send", "564F524E2D4B454C545500000033070006000037B00000000000"}
        << 0 << "seq=7\nhex=564F524E2D4B454C54550000001107001E00002D" + statusData + "\n" << QString();
    // The checksum is 31: the device drops the connection, or ignores the datagram.
    QTest::newRow("raw, wrong checksum, tcp")
        << QStringList{"-p", "{tcp}", "--raw", "send", "564F524E2D4B454C545500000033010006000032", "B00000000000"}
        << 3 << QString() << "connection closed by the device";
    QTest::newRow("raw, wrong checksum, udp")
        << QStringList{"-u", "-p", "{udp}", "--timeout", "300", "--raw", "send",
                       "564F524E2D4B454C545500000033010006000032", "B00000000000"}
        << 3 << "timeout seq=1\n" << QString();
    QTest::newRow("a byte of one digit") << QStringList{"-p", "{tcp}", "send", "B0", "0"} << 2 << QString()
                                         << "zeva: bad bytes '0'";
}

void TestZevaProgram::sendHandBuiltFrame()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);

    Sim device;
    QVERIFY(device.Start({}));
    const Result r = RunZeva(WithPorts(args, device.tcp, device.udp));
    QVERIFY2(r.status == status, qPrintable(QStringLiteral("status %1\n%2%3").arg(r.status).arg(r.out, r.err)));
    QVERIFY2(r.out.contains(out), qPrintable(r.out));
    QVERIFY2(r.err.contains(err), qPrintable(r.err));
}

void TestZevaProgram::deviceAndVariableForms_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("devices");   // labels joined by spaces
    QTest::addColumn<QString>("variables"); // labels and data sizes
    QTest::addColumn<QString>("error");     // part of the usage message; empty: parsed

    QTest::newRow("range, and -p for a device without a port")
        << QStringList{"-p", "3000", "-H", "localhost:2004-2006", "-H", "127.0.0.1", "read", "%MW0"}
        << "localhost:2004 localhost:2005 localhost:2006 127.0.0.1:3000" << "%MW0/2" << QString();
    QTest::newRow("IPv6 with and without brackets")
        << QStringList{"-u", "-H", "[::1]:2010", "-H", "::1", "read", "%MX1"} << "[::1]:2010 [::1]:2005" << "%MX1/1"
        << QString();
    QTest::newRow("IPv6 zone, a port with a leading zero")
        << QStringList{"-H", "fe80::1%lo", "-H", "127.0.0.1:02004", "status"} << "[fe80::1%lo]:2004 127.0.0.1:2004"
        << "status/0" << QString();
    QTest::newRow("an address a resolver reads otherwise") << QStringList{"-H", "127.0.0.010", "status"} << QString()
                                                            << QString() << "not an IPv4 address";
    QTest::newRow("NAME:TYPE, --type for the rest, in order")
        << QStringList{"-t", "dword", "poll", "speed:word", "%ML2", "level"} << "127.0.0.1:2004"
        << "SPEED/2 %ML2/8 LEVEL/4" << QString();
    QTest::newRow("range backwards") << QStringList{"-H", "localhost:2006-2004", "status"} << QString() << QString()
                                     << "bad --host 'localhost:2006-2004': bad port: expected 1 to 65535, or FIRST-LAST";
    QTest::newRow("port 0") << QStringList{"-H", "localhost:0", "status"} << QString() << QString()
                            << "bad --host 'localhost:0': bad port: expected 1 to 65535";
    QTest::newRow("brackets round no IPv6") << QStringList{"-H", "[localhost]:2004", "status"} << QString() << QString()
                                            << "no IPv6 address";
    QTest::newRow(":TYPE on a direct address") << QStringList{"read", "%MW0:WORD"} << QString() << QString()
                                               << ":TYPE is for a named variable";
    QTest::newRow("unknown type") << QStringList{"read", "SPEED:REAL"} << QString() << QString() << "bad type 'REAL'";
    QTest::newRow("float names the variable that is no DWORD")
        << QStringList{"-f", "float", "poll", "%MD0", "%MW4"} << QString() << QString() << "%MW4 is a WORD";
}

void TestZevaProgram::deviceAndVariableForms()
{
    QFETCH(QStringList, args);
    QFETCH(QString, devices);
    QFETCH(QString, variables);
    QFETCH(QString, error);

    const cli::Parsed parsed = cli::ParseArguments(QStringList{"zeva"} + args);
    if (!error.isEmpty()) {
        QCOMPARE(parsed.kind, cli::Parsed::UsageError);
        QVERIFY2(parsed.message.contains(error), qPrintable(parsed.message));
        return;
    }
    QVERIFY2(parsed.kind == cli::Parsed::Run, qPrintable(parsed.message));
    QStringList shown;
    for (const cli::Device& d : parsed.options.devices)
        shown << QString::fromStdString(d.label);
    QCOMPARE(shown.join(' '), devices);
    shown.clear();
    for (const cli::Variable& v : parsed.options.variables)
        shown << v.label + '/' + QString::number(v.request.dataSize);
    QCOMPARE(shown.join(' '), variables);
}

void TestZevaProgram::manyDevicesAtOnce_data()
{
    QTest::addColumn<bool>("udp");
    QTest::newRow("tcp") << false;
    QTest::newRow("udp") << true;
}

// Two good devices, one that answers after the timeout and a port where
// nothing listens: the good ones keep their pace, the others lose their
// requests, and every round reads both variables in order.
void TestZevaProgram::manyDevicesAtOnce()
{
    QFETCH(bool, udp);
    Sim good;
    QVERIFY(good.Start({"--devices", "2", "--var", "SPEED=WORD:1F4"}));
    Sim slow;
    QVERIFY(slow.Start({"--fault", "delay=400", "--var", "SPEED=WORD:1F4"}));
    QUdpSocket udpGap;
    QTcpServer tcpGap;
    QVERIFY(udp ? udpGap.bind(QHostAddress::LocalHost) : tcpGap.listen(QHostAddress::LocalHost));
    const quint16 gap = udp ? udpGap.localPort() : tcpGap.serverPort();
    udpGap.close();
    tcpGap.close();

    const QList<quint16> goods = udp ? good.udps : good.tcps;
    QCOMPARE(goods.size(), 2);
    QStringList args{"--json", "--timeout", "200", "-i", "100", "-w", "1.5", "poll", "%MW0", "speed:word"};
    for (const quint16 port : {goods[0], goods[1], udp ? slow.udp : slow.tcp, gap})
        args = QStringList{"-H", QStringLiteral("127.0.0.1:%1").arg(port)} + args;
    if (udp)
        args.prepend("-u");
    const Result r = RunZeva(args);
    QVERIFY2(r.status == 3, qPrintable(QStringLiteral("status %1\n%2%3").arg(r.status).arg(r.out, r.err)));

    const QList<QJsonObject> lines = JsonLines(r.out);
    QVERIFY(!lines.isEmpty() && lines.last().contains("total"));
    QHash<QString, QStringList> order; // a device's variables in the order read
    QHash<QString, QJsonObject> summaries;
    QHash<QString, int> lost; // requests lost as closed, or timed out
    qint64 sent = 0;
    for (const QJsonObject& o : lines) {
        const QJsonObject s = o.value("summary").toObject();
        if (!s.isEmpty()) {
            summaries.insert(s.value("device").toString() + ' ' + s.value("var").toString(), s);
            sent += s.value("sent").toInteger();
        } else if (!o.contains("total")) {
            order[o.value("device").toString()] << o.value("var").toString();
            if (o.value(udp ? "timeout" : "closed").toBool())
                ++lost[o.value("device").toString()];
            if (o.value("var").toString() == QLatin1String("SPEED") && o.contains("value"))
                QCOMPARE(o.value("value").toString(), QStringLiteral("01F4"));
        }
    }
    QCOMPARE(summaries.size(), 8);
    QCOMPARE(lines.last().value("total").toObject().value("sent").toInteger(), sent);
    for (const quint16 port : goods) {
        const QString device = QStringLiteral("127.0.0.1:%1").arg(port);
        const QStringList& vars = order[device];
        for (qsizetype i = 0; i < vars.size(); ++i)
            QCOMPARE(vars[i], i % 2 == 0 ? QStringLiteral("%MW0") : QStringLiteral("SPEED"));
        for (const QString& var : {QStringLiteral("%MW0"), QStringLiteral("SPEED")}) {
            const QJsonObject s = summaries.value(device + ' ' + var);
            // Held back by the slow device, a good one would make 2 rounds.
            QVERIFY2(s.value("sent").toInt() >= 8, qPrintable(device));
            QCOMPARE(s.value("answered").toInt(), s.value("sent").toInt());
        }
    }
    const QJsonObject slowest = summaries.value(QStringLiteral("127.0.0.1:%1 SPEED").arg(udp ? slow.udp : slow.tcp));
    QVERIFY(slowest.value("timeouts").toInt() >= 1);
    const QJsonObject gone = summaries.value(QStringLiteral("127.0.0.1:%1 SPEED").arg(gap));
    QVERIFY(gone.value("sent").toInt() >= 1);
    QCOMPARE(gone.value("answered").toInt(), 0);
    const QJsonObject goneToo = summaries.value(QStringLiteral("127.0.0.1:%1 %MW0").arg(gap));
    QCOMPARE(lost.value(QStringLiteral("127.0.0.1:%1").arg(gap)), gone.value("sent").toInt() + goneToo.value("sent").toInt());
}

void TestZevaProgram::tooManyDevicesForOpenFiles()
{
#ifdef ZEVA_PORTABLE_BUILD
    QSKIP("the portable build knows of no limit on open files");
#endif
    QProcess p;
    p.start("/bin/sh", {"-c", "ulimit -n 64 && exec \"$0\" -H 127.0.0.1:2004-2103 -c 1 read %MW0", kZeva});
    QVERIFY(p.waitForFinished(kWait));
    QCOMPARE(p.exitCode(), 2);
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
    QVERIFY(p.readAllStandardError().contains("100 devices need 132 open files"));
}

namespace {

// A device's figures from the summary: JSON summary objects, or the rows of
// the table (DEVICE VARIABLE SENT ANSWERED TIMEOUTS CLOSED LATE ERRORS ...).
struct Figures {
    qint64 sent = 0, answered = 0, timeouts = 0, closed = 0, late = 0, errors = 0;
};

QHash<QString, Figures> SummaryFigures(const QString& out, bool json)
{
    QHash<QString, Figures> figures; // by "DEVICE VARIABLE"
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (json) {
            const QJsonObject s = QJsonDocument::fromJson(line.toUtf8()).object().value("summary").toObject();
            if (!s.isEmpty()) {
                figures.insert(s.value("device").toString() + ' ' + s.value("var").toString(),
                               {s.value("sent").toInteger(), s.value("answered").toInteger(),
                                s.value("timeouts").toInteger(), s.value("closed").toInteger(),
                                s.value("late").toInteger(),
                                s.value("device_errors").toInteger() + s.value("malformed").toInteger()});
            }
            continue;
        }
        const QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (f.size() == 15 && f[0].startsWith(QLatin1String("127.0.0.1:")))
            figures.insert(f[0] + ' ' + f[1], {f[2].toLongLong(), f[3].toLongLong(), f[4].toLongLong(),
                                               f[5].toLongLong(), f[6].toLongLong(), f[7].toLongLong()});
    }
    return figures;
}

} // namespace

void TestZevaProgram::floodingDeviceHoldsNoOneBack_data()
{
    QTest::addColumn<QStringList>("mode");
    QTest::newRow("text") << QStringList{};
    QTest::newRow("json") << QStringList{"--json"};
    QTest::newRow("quiet, csv") << QStringList{"-q", "--csv", "{csv}"};
}

// A device sends answers that match no request without pause, beside two
// good ones: the good ones keep their rounds, the run ends on time, and what
// is printed of the flood is bounded while every answer is counted.
void TestZevaProgram::floodingDeviceHoldsNoOneBack()
{
    QFETCH(QStringList, mode);
    const bool json = mode.contains("--json");
    QTemporaryDir dir;
    const QString csv = dir.filePath("run.csv");
    mode.replaceInStrings("{csv}", csv);
    Sim good;
    QVERIFY(good.Start({"--devices", "2"}));
    Sim flood;
    QVERIFY(flood.Start({"--fault", "flood"}));
    const QString flooder = QStringLiteral("127.0.0.1:%1").arg(flood.tcp);
    QStringList args{"-H", flooder};
    for (const quint16 port : good.tcps)
        args << "-H" << QStringLiteral("127.0.0.1:%1").arg(port);
    constexpr double kSeconds = 2;
    QElapsedTimer clock;
    clock.start();
    const Result r = RunZeva(args + mode + QStringList{"-i", "50", "--timeout", "300", "-w", QString::number(kSeconds),
                                                       "poll", "%MW0", "%ML0"});
    const double seconds = double(clock.elapsed()) / 1000;
    QVERIFY2(r.status == 3, qPrintable(QStringLiteral("status %1\n").arg(r.status) + r.err));
    // Generous for a loaded machine; held up by the flood, 2 s took a minute.
    QVERIFY2(seconds < kSeconds + 8, qPrintable(QString::number(seconds)));

    const QHash<QString, Figures> figures = SummaryFigures(r.out, json);
    QCOMPARE(figures.size(), 6);
    for (auto it = figures.begin(); it != figures.end(); ++it) {
        const Figures& f = it.value();
        QCOMPARE(f.sent, f.answered + f.timeouts + f.closed);
        if (!it.key().startsWith(flooder)) // 40 rounds at most; held up by the flood, 1 or 2
            QVERIFY2(f.answered >= 20 && f.late == 0, qPrintable(it.key() + ' ' + QString::number(f.answered)));
    }
    const Figures& flooded = figures.value(flooder + " %MW0");
    const qint64 counted = flooded.late + flooded.errors + figures.value(flooder + " %ML0").late
        + figures.value(flooder + " %ML0").errors;
    QVERIFY(counted > 300);

    // At most 100 lines a second of what the flood sent, then a count of
    // the rest; the lines and the counts add up to every answer not taken.
    qint64 shown = 0, notShown = 0;
    for (const QString& line : r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.contains(flooder))
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        const auto count = QRegularExpression(R"( late: (\d+) answers not shown$)").match(line);
        if (json ? o.contains("late_not_shown") : count.hasMatch())
            notShown += json ? o.value("late_not_shown").toInteger() : count.captured(1).toLongLong();
        else if (json ? o.value("late").toBool() || o.value("malformed").toBool()
                      : line.contains(" late") || line.contains(" malformed"))
            ++shown;
    }
    if (mode.contains("-q")) {
        QCOMPARE(shown + notShown, 0);
        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray rows = file.readAll();
        shown = rows.count(",late,") + rows.count(",malformed,");
        QVERIFY(shown > 0 && shown <= 100 * (qint64(seconds) + 1));
    } else {
        QVERIFY(shown > 0 && shown <= 100 * (qint64(seconds) + 1));
        QCOMPARE(shown + notShown, counted);
    }
    QVERIFY2(r.out.size() < 200'000, qPrintable(QString::number(r.out.size())));
}

void TestZevaProgram::everyRequestAccounted_data()
{
    QTest::addColumn<QStringList>("sim");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("answered"); // each variable
    QTest::addColumn<int>("closed");   // each variable
    // Today the second variable went out on the closing connection and was lost.
    QTest::newRow("tcp, closed right behind each answer")
        << QStringList{"--fault", "close-after=1"} << QStringList{"-c", "3", "poll", "%MW0", "SPEED:WORD"} << 3 << 0;
    QTest::newRow("tcp, closed with requests outstanding")
        << QStringList{"--fault", "drop", "--idle-timeout", "1"}
        << QStringList{"--timeout", "5000", "-c", "1", "poll", "%MW0", "SPEED:WORD"} << 0 << 1;
}

// sent = answered + timeouts + closed on every row of the table and of the
// JSON summary, and the closed ones are shown.
void TestZevaProgram::everyRequestAccounted()
{
    QFETCH(QStringList, sim);
    QFETCH(QStringList, args);
    QFETCH(int, answered);
    QFETCH(int, closed);
    Sim device;
    QVERIFY(device.Start(sim));
    for (const bool json : {false, true}) {
        const Result r = RunZeva(QStringList{"-p", QString::number(device.tcp), "-q"}
                                 + (json ? QStringList{"--json"} : QStringList{}) + args);
        QVERIFY2(r.status == (closed > 0 ? 3 : 0), qPrintable(r.out + r.err));
        const QHash<QString, Figures> figures = SummaryFigures(r.out, json);
        QCOMPARE(figures.size(), 2);
        for (const Figures& f : figures) {
            QCOMPARE(f.answered, answered);
            QCOMPARE(f.closed, closed);
            QCOMPARE(f.sent, f.answered + f.timeouts + f.closed);
        }
        const QJsonObject total = JsonLines(r.out).value(2).value("total").toObject();
        QVERIFY(!json || (total.value("closed").toInt() == 2 * closed && total.contains("reconnects")));
    }
}

// -D starts each line with the Unix time, as ping -D.
void TestZevaProgram::unixTimeOnEveryLine()
{
    Sim device;
    QVERIFY(device.Start({}));
    const Result r = RunZeva({"-D", "-p", QString::number(device.tcp), "-c", "2", "poll", "%MW0"});
    const auto lines = QRegularExpression(R"(^\[(\d+)\.\d{6}\] value=0000 state=0000 time=)", QRegularExpression::MultilineOption)
                           .globalMatch(r.out);
    int n = 0;
    for (auto it = lines; it.hasNext(); ++n)
        QVERIFY(qAbs(it.next().captured(1).toLongLong() - QDateTime::currentSecsSinceEpoch()) < 600);
    QVERIFY2(r.status == 0 && n == 2, qPrintable(r.out));
}

// A 64 KiB answer ends the run, whose socket is closed from the handler:
// nothing is read from it after that, so Qt has nothing to warn of.
void TestZevaProgram::noQtWarningAfterLargeAnswer()
{
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    connect(&device, &QTcpServer::newConnection, this, [&] {
        QTcpSocket* peer = device.nextPendingConnection();
        connect(peer, &QTcpSocket::readyRead, peer, [peer] {
            // The request's header turned into an answer's with a body of
            // 65535 bytes: direction, length, checksum.
            QByteArray answer = peer->readAll().left(20) + QByteArray(0xFFFF, '\0');
            answer[13] = 0x11;
            answer[16] = answer[17] = char(0xFF);
            answer[19] = char(std::accumulate(answer.begin(), answer.begin() + 19, 0));
            peer->write(answer);
        });
    });
    QProcess p;
    p.start(kZeva, {"-p", QString::number(device.serverPort()), "read", "%MW0"});
    QVERIFY(QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, kWait));
    QCOMPARE(p.readAllStandardError(), QByteArray());
    QVERIFY(p.readAllStandardOutput().contains(" seq=1"));
}

QTEST_GUILESS_MAIN(TestZevaProgram)
#include "tst_ZevaProgram.moc"
