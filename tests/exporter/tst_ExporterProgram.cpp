// zeva-exporter end to end, as Prometheus uses it: the program over real
// HTTP on 127.0.0.1, probing zeva-sim, checked by promtool and scraped by a
// real Prometheus server.
#include <SimProcess.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QSslConfiguration>
#include <QUrlQuery>

#include <memory>

namespace {

constexpr int kWait = 20000; // generous: the sanitizer build on a busy machine is slow

const QString kExporter = QStringLiteral(ZEVA_EXPORTER_PATH);

// Modules every test may use: default reads three variables and the status
// over TCP; udp reads one over UDP; slow waits 5 s for an answer.
const QString kConfig = QStringLiteral(R"(allow:
  - 127.0.0.0/8
modules:
  default:
    status: true
    variables:
      - name: "%MW0"
      - name: LIMIT
        type: DWORD
      - name: SPEED
        type: WORD
        format: signed
  udp:
    protocol: udp
    retries: 1
    variables:
      - name: LIMIT
        type: DWORD
  slow:
    timeout: 5s
    variables:
      - name: "%MW0"
  exact:
    variables:
      - name: BIG
        type: LWORD
      - name: TINY
        type: DWORD
        format: float
)");

// The device the modules read: zeva-sim on free ports, SPEED FFFE, BIG all
// ones and TINY 1.
sim::Config Device()
{
    sim::Config config;
    config.tcpPort = 0;
    config.udpPort = 0;
    const auto set = [&config](const QByteArray& name, sim::VarType type, const QByteArray& littleEndian) {
        std::erase_if(config.variables, [&](const sim::NamedVariable& v) { return v.name == name; });
        config.variables.push_back({name, type, false, littleEndian});
    };
    set("SPEED", sim::VarType::Word, QByteArray::fromHex("FEFF"));
    set("BIG", sim::VarType::LWord, QByteArray(8, char(0xFF)));
    set("TINY", sim::VarType::DWord, QByteArray::fromHex("01000000"));
    return config;
}

// The exporter on a free port of 127.0.0.1, its configuration in a file of
// its own; what it logs is kept.
struct Exporter {
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
    QByteArray log;

    QString ConfigPath() const { return dir.filePath(QStringLiteral("exporter.yml")); }
    bool WriteConfig(const QString& text)
    {
        QFile f(ConfigPath());
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text.toUtf8()) == text.toUtf8().size();
    }
    bool Start(const QString& config, const QStringList& more = {})
    {
        if (!WriteConfig(config))
            return false;
        process.setProcessChannelMode(QProcess::MergedChannels);
        // What it logs is read as it comes, so that a full pipe never holds
        // it up; at info level it writes nothing per request.
        QObject::connect(&process, &QProcess::readyRead, &process, [this] { log = (log + process.readAll()).right(1 << 16); });
        process.start(kExporter, QStringList{"--config.file", ConfigPath(), "--web.listen-address", "127.0.0.1:0",
                                             "--log.level", "info"} + more);
        const QRegularExpression listening(R"(msg=listening address=127\.0\.0\.1:(\d+))");
        return process.waitForStarted(kWait) && QTest::qWaitFor([&] {
                   const auto m = listening.match(QString::fromUtf8(log));
                   port = quint16(m.captured(1).toUInt());
                   return m.hasMatch();
               }, kWait);
    }
    QUrl Url(const QString& pathAndQuery, const QString& scheme = QStringLiteral("http")) const
    {
        return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(pathAndQuery));
    }
    ~Exporter()
    {
        process.terminate();
        process.waitForFinished(kWait);
    }
};

struct Reply {
    int status = 0;
    QByteArray body;
};

// Follows a reply's finished signal from the event loop.
Reply Wait(QNetworkReply* reply)
{
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        done.wait(kWait);
    Reply r{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    reply->deleteLater();
    return r;
}

// The value of one sample in exposition text, NaN when it is not there.
double Sample(const QByteArray& text, const QString& series)
{
    for (const QByteArray& line : text.split('\n')) {
        const QString l = QString::fromUtf8(line);
        if (l.startsWith(series + QLatin1Char(' ')))
            return l.mid(series.size() + 1).toDouble();
    }
    return qQNaN();
}

// A port nothing listens on, for a device that is down.
quint16 FreePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// Resident memory in bytes and open descriptors of a process, from /proc.
qint64 ResidentBytes(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const auto m = QRegularExpression(R"(VmRSS:\s+(\d+) kB)").match(QString::fromLatin1(f.readAll()));
    return m.hasMatch() ? m.captured(1).toLongLong() * 1024 : -1;
}
qint64 OpenFiles(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
}

// One request on a connection of its own, as bytes: the answer's head and
// body, and whether the exporter closed the connection after it.
struct Raw {
    QByteArray head;
    QByteArray body;
    bool closed = false;
};

std::unique_ptr<QTcpSocket> Connect(quint16 port, const QHostAddress& from = QHostAddress::LocalHost)
{
    auto s = std::make_unique<QTcpSocket>();
    s->bind(from, 0);
    s->connectToHost(QHostAddress::LocalHost, port);
    if (!s->waitForConnected(kWait))
        return nullptr;
    return s;
}

// Reads answers until `count` are whole or the connection ends.
QList<Raw> ReadAnswers(QTcpSocket& s, int count, bool head = false)
{
    QList<Raw> answers;
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (answers.size() < count) {
        const qsizetype end = got.indexOf("\r\n\r\n");
        if (end >= 0) {
            const auto m = QRegularExpression(R"(Content-Length: (\d+))").match(QString::fromLatin1(got.left(end)));
            const qsizetype length = head || !m.hasMatch() ? 0 : m.captured(1).toLongLong();
            if (got.size() >= end + 4 + length) {
                answers.append({got.left(end + 2), got.mid(end + 4, length), false});
                got.remove(0, end + 4 + length);
                continue;
            }
        }
        if (clock.elapsed() > kWait || (s.bytesAvailable() == 0 && !s.waitForReadyRead(kWait)))
            break;
        got += s.readAll();
    }
    return answers;
}

// A peer that half-closes its connection after its request: netcat's -N
// shuts the socket down for writing at the end of its input.
const QString kNetcat = QStandardPaths::findExecutable(QStringLiteral("nc"));

bool StartHalfClosed(QProcess& nc, quint16 port, const QByteArray& request)
{
    nc.start(kNetcat, {"-N", "127.0.0.1", QString::number(port)});
    if (!nc.waitForStarted(kWait))
        return false;
    nc.write(request);
    nc.closeWriteChannel();
    return true;
}

Raw Exchange(quint16 port, const QByteArray& request, bool halfClose = false)
{
    if (halfClose) {
        QProcess nc;
        if (!StartHalfClosed(nc, port, request) || (nc.state() != QProcess::NotRunning && !nc.waitForFinished(kWait)))
            return {};
        const QByteArray out = nc.readAllStandardOutput();
        const qsizetype end = out.indexOf("\r\n\r\n");
        return {out.left(end + 2), end < 0 ? QByteArray() : out.mid(end + 4), true};
    }
    const auto s = Connect(port);
    if (!s)
        return {};
    s->write(request);
    s->waitForBytesWritten(kWait);
    const QList<Raw> answers = ReadAnswers(*s, 1, request.startsWith("HEAD"));
    Raw r = answers.value(0);
    r.closed = s->state() == QAbstractSocket::UnconnectedState || s->waitForDisconnected(kWait);
    return r;
}

} // namespace

class tst_ExporterProgram : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void probeReadsTheDevice();
    void deviceDownIsAFailedProbe();
    void badRequestReachesNoDevice_data();
    void badRequestReachesNoDevice();
    void probeEndsWithinScrapeTimeout();
    void scraperHangsUpMidProbe();
    void promtoolAcceptsTheOutput();
    void malformedRequestsLeaveItServing();
    void badReloadKeepsTheOldConfiguration();
    void prometheusScrapesThroughTheExporter();
    void requestBoundsAndMethods_data();
    void requestBoundsAndMethods();
    void pipelinedAnswersComeInOrder();
    void hangUpEndsTheProbe_data();
    void hangUpEndsTheProbe();
    void idleConnectionsAreClosed();
    void fullServerClosesTheOldestIdle();
    void requestsAreCountedByHandler();
    void httpsAndPasswords();
    void configurationMustBeARegularFile();

private:
    Reply Get(const QUrl& url, const QByteArray& timeoutHeader = {})
    {
        QNetworkRequest request(url);
        if (!timeoutHeader.isEmpty())
            request.setRawHeader("X-Prometheus-Scrape-Timeout-Seconds", timeoutHeader);
        return Wait(http_.get(request));
    }
    QString ProbePath(const QString& module, quint16 port) const
    {
        return QStringLiteral("/probe?module=%1&target=127.0.0.1:%2").arg(module).arg(port);
    }

    simtest::Simulator sim_{Device()};
    Exporter exporter_;
    QNetworkAccessManager http_;
};

void tst_ExporterProgram::initTestCase()
{
    http_.setProxy(QNetworkProxy::NoProxy);
    QVERIFY(sim_.start());
    QVERIFY2(exporter_.Start(kConfig), exporter_.log.constData());
}

void tst_ExporterProgram::probeReadsTheDevice()
{
    const Reply tcp = Get(exporter_.Url(ProbePath("default", sim_.tcpPort())));
    QCOMPARE(tcp.status, 200);
    QCOMPARE(Sample(tcp.body, "zeva_probe_success"), 1.0);
    QCOMPARE(Sample(tcp.body, "zeva_variable_value{variable=\"%MW0\"}"), 0.0);
    QCOMPARE(Sample(tcp.body, "zeva_variable_value{variable=\"LIMIT\"}"), 305419896.0);
    QCOMPARE(Sample(tcp.body, "zeva_variable_value{variable=\"SPEED\"}"), -2.0);
    QCOMPARE(Sample(tcp.body, "zeva_exchange_success{variable=\"SPEED\"}"), 1.0);
    QCOMPARE(Sample(tcp.body, "zeva_device_error_code{variable=\"SPEED\"}"), 0.0);
    QCOMPARE(Sample(tcp.body, "zeva_device_state"), 0.0);
    QVERIFY(Sample(tcp.body, "zeva_exchange_duration_seconds{variable=\"LIMIT\"}") > 0);
    QCOMPARE(Sample(tcp.body, "zeva_device_status_info{data=\"14131211100F0E0D0C0B0A090807060504030201\"}"), 1.0);

    // Every value exactly: 2^64 - 1 as the nearest double, the smallest
    // float as what its bits hold.
    const Reply exact = Get(exporter_.Url(ProbePath("exact", sim_.tcpPort())));
    QVERIFY2(exact.body.contains("\nzeva_variable_value{variable=\"BIG\"} 1.8446744073709552e+19\n"), exact.body.constData());
    QVERIFY2(exact.body.contains("\nzeva_variable_value{variable=\"TINY\"} 1.401298464324817e-45\n"), exact.body.constData());

    const Reply udp = Get(exporter_.Url(ProbePath("udp", sim_.udpPort())));
    QCOMPARE(udp.status, 200);
    QCOMPARE(Sample(udp.body, "zeva_probe_success"), 1.0);
    QCOMPARE(Sample(udp.body, "zeva_variable_value{variable=\"LIMIT\"}"), 305419896.0);
}

void tst_ExporterProgram::deviceDownIsAFailedProbe()
{
    const Reply r = Get(exporter_.Url(ProbePath("default", FreePort())));
    QCOMPARE(r.status, 200);
    QCOMPARE(Sample(r.body, "zeva_probe_success"), 0.0);
    QCOMPARE(Sample(r.body, "zeva_exchange_success{variable=\"LIMIT\"}"), 0.0);
    QVERIFY2(!r.body.contains("zeva_variable_value{"), r.body.constData());
    QVERIFY2(!r.body.contains("zeva_exchange_duration_seconds{"), r.body.constData());
}

void tst_ExporterProgram::badRequestReachesNoDevice_data()
{
    QTest::addColumn<QString>("path"); // PORT: a listener that must see no connection
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    QTest::newRow("unknown module") << "/probe?module=nosuch&target=127.0.0.1:PORT" << 400 << "unknown module \"nosuch\"";
    QTest::newRow("no target") << "/probe?module=default" << 400 << "target parameter is missing";
    QTest::newRow("port not a number") << "/probe?target=127.0.0.1:http" << 400 << "bad port: expected 1 to 65535";
    QTest::newRow("port too large") << "/probe?target=127.0.0.1:65536" << 400 << "bad port: expected 1 to 65535";
    QTest::newRow("colon without brackets") << "/probe?target=::1" << 400 << "in brackets";
    QTest::newRow("name not allowed") << "/probe?target=localhost:PORT" << 403 << "is not allowed";
    QTest::newRow("IPv6 loopback not allowed") << "/probe?target=%5B::1%5D:PORT" << 403 << "is not allowed";
    QTest::newRow("other path") << "/probes?target=127.0.0.1:PORT" << 404 << "not found";
    QTest::newRow("path below an endpoint") << "/metrics/x" << 404 << "not found";
}

void tst_ExporterProgram::badRequestReachesNoDevice()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QString, body);
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    QTcpServer device6;
    const bool v6 = device6.listen(QHostAddress::LocalHostIPv6, device.serverPort());
    const Reply r = Get(exporter_.Url(path.replace("PORT", QString::number(device.serverPort()))));
    QCOMPARE(r.status, status);
    QVERIFY2(r.body.contains(body.toUtf8()), r.body.constData());
    QTest::qWait(50);
    QVERIFY(!device.hasPendingConnections());
    QVERIFY(!v6 || !device6.hasPendingConnections());
}

// A device that takes the connection and never answers: the probe ends by
// Prometheus's deadline, less the half second the answer needs, as a failure.
void tst_ExporterProgram::probeEndsWithinScrapeTimeout()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const Reply r = Get(exporter_.Url(ProbePath("slow", silent.serverPort())), "1.5");
    QCOMPARE(r.status, 200);
    QCOMPARE(Sample(r.body, "zeva_probe_success"), 0.0);
    const double took = Sample(r.body, "zeva_probe_duration_seconds");
    QVERIFY2(took >= 0.9 && took < 1.5, QByteArray::number(took).constData());
}

// The scraper gives up while the probe waits; the answer has nobody to go
// to, and the exporter goes on serving.
void tst_ExporterProgram::scraperHangsUpMidProbe()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const double before = Sample(Get(exporter_.Url("/metrics")).body,
                                 "zeva_exporter_probes_total{module=\"slow\",result=\"failure\"}");
    for (int i = 0; i < 3; ++i) {
        QNetworkRequest request(exporter_.Url(ProbePath("slow", silent.serverPort())));
        request.setRawHeader("X-Prometheus-Scrape-Timeout-Seconds", "1");
        QNetworkReply* reply = http_.get(request);
        QVERIFY(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }, kWait));
        delete silent.nextPendingConnection();
        reply->abort();
        reply->deleteLater();
    }
    QVERIFY(QTest::qWaitFor([&] {
        const double after = Sample(Get(exporter_.Url("/metrics")).body,
                                    "zeva_exporter_probes_total{module=\"slow\",result=\"failure\"}");
        return after - (qIsNaN(before) ? 0 : before) == 3;
    }, kWait));
    QCOMPARE(exporter_.process.state(), QProcess::Running);
    QCOMPARE(Sample(Get(exporter_.Url(ProbePath("default", sim_.tcpPort()))).body, "zeva_probe_success"), 1.0);
}

void tst_ExporterProgram::promtoolAcceptsTheOutput()
{
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        QSKIP("promtool is not installed (./tools.sh installs it)");
    const QList<QByteArray> outputs{Get(exporter_.Url(ProbePath("default", sim_.tcpPort()))).body,
                                    Get(exporter_.Url(ProbePath("default", FreePort()))).body,
                                    Get(exporter_.Url("/metrics")).body};
    for (const QByteArray& text : outputs) {
        QProcess check;
        check.setProcessChannelMode(QProcess::MergedChannels);
        check.start(promtool, {"check", "metrics"});
        QVERIFY(check.waitForStarted(kWait));
        check.write(text);
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(kWait));
        QVERIFY2(check.exitCode() == 0, (check.readAll() + "\n" + text).constData());
    }
}

// Bad requests of every kind, over kept-alive connections and as garbage on
// connections of their own, ten thousand of them.
void tst_ExporterProgram::malformedRequestsLeaveItServing()
{
    if (!QFile::exists(QStringLiteral("/proc/self/status")))
        QSKIP("resident memory and open descriptors are read from /proc");
    const QList<QByteArray> paths{"/probe?module=nosuch&target=127.0.0.1", "/probe", "/probe?target=127.0.0.1:0",
                                  "/probe?target=a:b:c", "/probe?target=10.1.2.3", "/nowhere",
                                  "/probe?target=" + QByteArray(2000, 'x')};
    const auto flood = [&](int count) {
        QTcpSocket s;
        for (int i = 0; i < count; ++i) {
            if (i % 100 == 99) {
                // Garbage, on a connection of its own that the server drops.
                QTcpSocket g;
                g.connectToHost(QHostAddress::LocalHost, exporter_.port);
                if (!g.waitForConnected(kWait))
                    return false;
                g.write("\x16\x03\x01 garbage\r\n\r\n");
                g.waitForDisconnected(kWait);
                continue;
            }
            if (s.state() != QAbstractSocket::ConnectedState) {
                s.abort();
                s.connectToHost(QHostAddress::LocalHost, exporter_.port);
                if (!s.waitForConnected(kWait))
                    return false;
            }
            s.write("GET " + paths[i % paths.size()] + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            // Headers, then the body by its length.
            QByteArray got;
            qsizetype end = -1;
            const auto more = [&] {
                if (s.bytesAvailable() == 0 && !s.waitForReadyRead(kWait))
                    return false;
                got += s.readAll();
                return true;
            };
            while ((end = got.indexOf("\r\n\r\n")) < 0 && more()) {
            }
            const auto length = QRegularExpression(R"(Content-Length: (\d+))", QRegularExpression::CaseInsensitiveOption)
                                    .match(QString::fromLatin1(got.left(end)));
            if (end < 0 || !length.hasMatch() || !got.startsWith("HTTP/1.1 40"))
                return false;
            while (got.size() < end + 4 + length.captured(1).toInt() && more()) {
            }
        }
        return true;
    };
    const qint64 pid = exporter_.process.processId();
    QVERIFY(flood(1000)); // allocations that stay: the first connections, the log's buffers
    const qint64 memory = ResidentBytes(pid);
    const qint64 files = OpenFiles(pid);
    QVERIFY(flood(10000));
    QTRY_VERIFY_WITH_TIMEOUT(OpenFiles(pid) <= files + 2, kWait);
#ifndef ZEVA_SANITIZED_BUILD
    const qint64 grown = ResidentBytes(pid) - memory;
    QVERIFY2(grown <= 8 * 1024 * 1024, QByteArray::number(grown).constData());
#endif
    QCOMPARE(Sample(Get(exporter_.Url(ProbePath("default", sim_.tcpPort()))).body, "zeva_probe_success"), 1.0);
}

void tst_ExporterProgram::badReloadKeepsTheOldConfiguration()
{
    Exporter own;
    QVERIFY2(own.Start(kConfig), own.log.constData());
    const QUrl reload = own.Url("/-/reload");

    QVERIFY(own.WriteConfig(QString(kConfig).replace("  slow:", "  slow:\n    colour: red")));
    const Reply refused = Wait(http_.post(QNetworkRequest(reload), QByteArray()));
    QCOMPARE(refused.status, 500);
    QVERIFY2(refused.body.startsWith((own.ConfigPath() + ":").toUtf8()) && refused.body.contains("unknown key 'colour'"),
             refused.body.constData());
    QCOMPARE(Sample(Get(own.Url(ProbePath("default", sim_.tcpPort()))).body, "zeva_probe_success"), 1.0);
    QCOMPARE(Sample(Get(own.Url("/metrics")).body, "zeva_exporter_config_last_reload_successful"), 0.0);

    // A good one takes over, by POST and by SIGHUP.
    QVERIFY(own.WriteConfig(QString(kConfig).replace("  slow:", "  second:")));
    QCOMPARE(Wait(http_.post(QNetworkRequest(reload), QByteArray())).status, 200);
    QCOMPARE(Get(own.Url(ProbePath("second", sim_.tcpPort()))).status, 200);
    QCOMPARE(Get(own.Url(ProbePath("slow", sim_.tcpPort()))).status, 400);
#ifdef Q_OS_UNIX
    QVERIFY(own.WriteConfig(QString(kConfig).replace("  slow:", "  third:")));
    QCOMPARE(QProcess::execute(QStringLiteral("kill"), {"-HUP", QString::number(own.process.processId())}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(Get(own.Url(ProbePath("third", sim_.tcpPort()))).status, 200, kWait);
#endif
}

// A FIFO in place of the file: refused at once, at start and on reload.
void tst_ExporterProgram::configurationMustBeARegularFile()
{
    const QString mkfifo = QStandardPaths::findExecutable(QStringLiteral("mkfifo"));
    if (mkfifo.isEmpty())
        QSKIP("no mkfifo here");
    Exporter own;
    QVERIFY2(own.Start(kConfig), own.log.constData());
    QVERIFY(QFile::remove(own.ConfigPath()));
    QCOMPARE(QProcess::execute(mkfifo, {own.ConfigPath()}), 0);
    const Reply refused = Wait(http_.post(QNetworkRequest(own.Url("/-/reload")), QByteArray()));
    QCOMPARE(refused.status, 500);
    QVERIFY2(refused.body.contains("not a regular file"), refused.body.constData());
    QCOMPARE(Sample(Get(own.Url(ProbePath("default", sim_.tcpPort()))).body, "zeva_probe_success"), 1.0);

    QProcess start;
    start.setProcessChannelMode(QProcess::MergedChannels);
    start.start(kExporter, {"--config.file", own.ConfigPath(), "--web.listen-address", "127.0.0.1:0"});
    QVERIFY(start.waitForFinished(kWait));
    QCOMPARE(start.exitCode(), 2);
    QVERIFY(start.readAll().contains("not a regular file"));
}

void tst_ExporterProgram::requestBoundsAndMethods_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("halfClose");
    QTest::addColumn<QByteArray>("status"); // the answer's first line
    QTest::addColumn<QByteArray>("has");    // in its head or body
    QTest::addColumn<bool>("closes");
    const QByteArray big(9000, 'a');
    QTest::newRow("request line too long") << "GET /" + big + " HTTP/1.1\r\n\r\n" << false
                                           << QByteArray("HTTP/1.1 414 ") << QByteArray("Connection: close") << true;
    QTest::newRow("header too long") << "GET / HTTP/1.1\r\nX-A: " + big + "\r\n\r\n" << false
                                     << QByteArray("HTTP/1.1 431 ") << QByteArray() << true;
    QTest::newRow("too many headers") << "GET / HTTP/1.1\r\n" + QByteArray("a: b\r\n").repeated(3000) + "\r\n" << false
                                      << QByteArray("HTTP/1.1 431 ") << QByteArray() << true;
    QTest::newRow("body too large") << "POST /-/reload HTTP/1.1\r\nContent-Length: 400000000\r\n\r\n" + big << false
                                    << QByteArray("HTTP/1.1 413 ") << QByteArray() << true;
    QTest::newRow("chunked body too large")
        << "POST /-/reload HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + QByteArray("2328\r\n" + big + "\r\n").repeated(8)
        << false << QByteArray("HTTP/1.1 413 ") << QByteArray() << true;
    QTest::newRow("long bad target shown cut") << "GET /probe?target=" + QByteArray(7000, 'x') + ":1 HTTP/1.1\r\n\r\n"
                                               << false << QByteArray("HTTP/1.1 400 ") << QByteArray(200, 'x') + "...\"" << false;
    QTest::newRow("HTTP/1.0") << QByteArray("GET /-/healthy HTTP/1.0\r\n\r\n") << false << QByteArray("HTTP/1.1 200 ")
                              << QByteArray("Healthy") << true;
    QTest::newRow("Connection: close") << QByteArray("GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n") << false
                                       << QByteArray("HTTP/1.1 200 ") << QByteArray("zeva_exporter_build_info") << true;
    QTest::newRow("half-close") << QByteArray("GET /metrics HTTP/1.1\r\n\r\n") << true << QByteArray("HTTP/1.1 200 ")
                                << QByteArray("zeva_exporter_build_info") << true;
    QTest::newRow("half-close, index") << QByteArray("GET / HTTP/1.1\r\n\r\n") << true << QByteArray("HTTP/1.1 200 ")
                                       << QByteArray("<h1>Zeva Exporter</h1>") << true;
    QTest::newRow("HEAD") << QByteArray("HEAD /metrics HTTP/1.1\r\nConnection: close\r\n\r\n") << false
                          << QByteArray("HTTP/1.1 200 ") << QByteArray("Content-Type: text/plain; version=0.0.4") << true;
    QTest::newRow("POST /probe") << QByteArray("POST /probe?target=127.0.0.1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                                 << false << QByteArray("HTTP/1.1 405 ") << QByteArray("Allow: GET, HEAD\r\n") << false;
    QTest::newRow("GET /-/reload") << QByteArray("GET /-/reload HTTP/1.1\r\n\r\n") << false
                                   << QByteArray("HTTP/1.1 405 ") << QByteArray("Allow: POST\r\n") << false;
    QTest::newRow("garbage") << QByteArray("\x16\x03\x01 garbage\r\n\r\n") << false << QByteArray("HTTP/1.1 400 ")
                             << QByteArray() << true;
}

// Whatever one peer sends, it holds at most 8 KiB of request line and
// headers and 64 KiB of body, and sees no more than 200 bytes of its own
// text again; what HTTP says about closing and methods holds.
void tst_ExporterProgram::requestBoundsAndMethods()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, halfClose);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, has);
    QFETCH(bool, closes);
    if (halfClose && kNetcat.isEmpty())
        QSKIP("nc is not installed (./tools.sh installs netcat-openbsd)");
    const Raw r = Exchange(exporter_.port, request, halfClose);
    QVERIFY2(r.head.startsWith(status), r.head.constData());
    QVERIFY2((r.head + r.body).contains(has), (r.head + r.body).left(2000).constData());
    QVERIFY(r.body.size() < 2000 || r.head.startsWith("HTTP/1.1 200"));
    if (request.startsWith("HEAD"))
        QVERIFY(r.body.isEmpty() && !r.head.contains("Content-Length: 0\r\n"));
    if (closes)
        QVERIFY(r.closed);
}

// Two requests in one write, the first a probe that waits for its deadline:
// the answers come in the order of the requests.
void tst_ExporterProgram::pipelinedAnswersComeInOrder()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const auto s = Connect(exporter_.port);
    QVERIFY(s);
    s->write("GET " + ProbePath("slow", silent.serverPort()).toUtf8()
             + " HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 1\r\n\r\n"
               "GET " + ProbePath("default", sim_.tcpPort()).toUtf8() + " HTTP/1.1\r\n\r\nGET /-/healthy HTTP/1.1\r\n\r\n");
    const QList<Raw> answers = ReadAnswers(*s, 3);
    QCOMPARE(answers.size(), 3);
    QCOMPARE(Sample(answers[0].body, "zeva_probe_success"), 0.0);
    QCOMPARE(Sample(answers[1].body, "zeva_probe_success"), 1.0);
    QCOMPARE(answers[2].body, QByteArray("Healthy\n"));
}

// A scraper that hangs up, or half-closes, during a probe: the probe ends
// at once and its device connection with it, long before its deadline.
void tst_ExporterProgram::hangUpEndsTheProbe_data()
{
    QTest::addColumn<bool>("halfClose");
    QTest::newRow("closed") << false;
    QTest::newRow("half-closed") << true;
}

void tst_ExporterProgram::hangUpEndsTheProbe()
{
    QFETCH(bool, halfClose);
    if (halfClose && kNetcat.isEmpty())
        QSKIP("nc is not installed (./tools.sh installs netcat-openbsd)");
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const QByteArray request = "GET " + ProbePath("slow", silent.serverPort()).toUtf8()
        + " HTTP/1.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 600\r\n\r\n";
    QProcess nc;
    const auto s = halfClose ? nullptr : Connect(exporter_.port);
    if (halfClose)
        QVERIFY(StartHalfClosed(nc, exporter_.port, request));
    else
        QVERIFY(s && s->write(request) == request.size());
    QVERIFY(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }, kWait));
    std::unique_ptr<QTcpSocket> device(silent.nextPendingConnection());
    QSignalSpy gone(device.get(), &QTcpSocket::disconnected);
    if (s)
        s->abort();
    QVERIFY(gone.wait(kWait));
    QVERIFY(!halfClose || nc.state() == QProcess::NotRunning || nc.waitForFinished(kWait));
}

// A connection that has not sent a whole request 10 s after it opened is
// closed, whether it sends nothing or a byte now and then.
void tst_ExporterProgram::idleConnectionsAreClosed()
{
    const auto idle = Connect(exporter_.port);
    const auto slow = Connect(exporter_.port);
    QVERIFY(idle && slow);
    QElapsedTimer clock;
    clock.start();
    const QByteArray request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    QTimer drip;
    int sent = 0;
    QObject::connect(&drip, &QTimer::timeout, [&] {
        if (slow->state() == QAbstractSocket::ConnectedState)
            slow->write(request.mid(sent++ % request.size(), 1));
    });
    drip.start(500);
    QTRY_VERIFY_WITH_TIMEOUT(idle->state() == QAbstractSocket::UnconnectedState
                                 && slow->state() == QAbstractSocket::UnconnectedState, 30000);
    QVERIFY2(clock.elapsed() >= 9000, QByteArray::number(clock.elapsed()).constData());
}

// Connections that send nothing, from 127.0.0.2, fill the server: each new
// one closes the one idle longest, and a scrape still gets its answer.
void tst_ExporterProgram::fullServerClosesTheOldestIdle()
{
    Exporter own;
    QVERIFY2(own.Start(kConfig, {"--web.max-connections", "20"}), own.log.constData());
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < 60; ++i) {
        held.push_back(Connect(own.port, QHostAddress(QStringLiteral("127.0.0.2"))));
        QVERIFY(held.back());
    }
    const Reply r = Get(own.Url(ProbePath("default", sim_.tcpPort())));
    QCOMPARE(r.status, 200);
    QCOMPARE(Sample(r.body, "zeva_probe_success"), 1.0);
    QTRY_VERIFY_WITH_TIMEOUT(held.front()->state() == QAbstractSocket::UnconnectedState, kWait);
}

void tst_ExporterProgram::requestsAreCountedByHandler()
{
    Exporter own;
    QVERIFY2(own.Start(kConfig), own.log.constData());
    Get(own.Url("/nowhere"));
    Get(own.Url("/probe?module=nosuch&target=127.0.0.1"));
    Get(own.Url("/probe?target=" + QString(300, 'x')));
    Get(own.Url("/-/reload"));
    Get(own.Url(ProbePath("default", sim_.tcpPort())));
    Exchange(own.port, "GET /" + QByteArray(9000, 'a') + " HTTP/1.1\r\n\r\n");
    const QByteArray text = Get(own.Url("/metrics")).body;
    QCOMPARE(Sample(text, "zeva_exporter_http_requests_total{code=\"404\",handler=\"other\"}"), 1.0);
    QCOMPARE(Sample(text, "zeva_exporter_http_requests_total{code=\"414\",handler=\"other\"}"), 1.0);
    QCOMPARE(Sample(text, "zeva_exporter_http_requests_total{code=\"400\",handler=\"/probe\"}"), 2.0);
    QCOMPARE(Sample(text, "zeva_exporter_http_requests_total{code=\"200\",handler=\"/probe\"}"), 1.0);
    QCOMPARE(Sample(text, "zeva_exporter_http_requests_total{code=\"405\",handler=\"/-/reload\"}"), 1.0);
}

// With a web configuration: HTTPS with a certificate made here, and every
// path but /-/healthy asking for a password hashed by htpasswd.
void tst_ExporterProgram::httpsAndPasswords()
{
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    const QString htpasswd = QStandardPaths::findExecutable(QStringLiteral("htpasswd"));
    if (openssl.isEmpty() || htpasswd.isEmpty())
        QSKIP("openssl and htpasswd are needed (./tools.sh installs them)");
    QTemporaryDir dir;
    QCOMPARE(QProcess::execute(openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                         "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout",
                                         dir.filePath("server.key"), "-out", dir.filePath("server.crt")}),
             0);
    QProcess hash;
    hash.start(htpasswd, {"-nbB", "alice", "secret"});
    QVERIFY(hash.waitForFinished(kWait));
    const QByteArray user = hash.readAllStandardOutput().trimmed();
    QFile web(dir.filePath("web.yml"));
    QVERIFY(web.open(QIODevice::WriteOnly));
    web.write("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\nbasic_auth_users:\n  alice: '"
              + user.mid(6) + "'\n");
    web.close();
    Exporter own;
    QVERIFY2(own.Start(kConfig, {"--web.config.file", web.fileName()}), own.log.constData());

    const auto get = [&](const QString& path, const QByteArray& password) {
        QNetworkRequest request(own.Url(path, QStringLiteral("https")));
        QSslConfiguration ssl = request.sslConfiguration();
        ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
        request.setSslConfiguration(ssl);
        if (!password.isEmpty())
            request.setRawHeader("Authorization", "Basic " + ("alice:" + password).toBase64());
        return Wait(http_.get(request));
    };
    QCOMPARE(get("/metrics", {}).status, 401);
    QCOMPARE(get("/metrics", "wrong").status, 401);
    QCOMPARE(get("/-/healthy", {}).status, 200);
    const Reply probe = get(ProbePath("default", sim_.tcpPort()), "secret");
    QCOMPARE(probe.status, 200);
    QCOMPARE(Sample(probe.body, "zeva_probe_success"), 1.0);
    QCOMPARE(Get(own.Url("/-/healthy")).status, 0); // plain HTTP is no answer

    // The file is read again when it changes: without users, no password.
    QVERIFY(web.open(QIODevice::WriteOnly | QIODevice::Truncate));
    web.write("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n");
    web.close();
    QCOMPARE(get("/metrics", {}).status, 200);
}

// Prometheus scrapes the simulator through the exporter, the target passed
// by relabelling as the README shows, until it holds the simulator's value.
void tst_ExporterProgram::prometheusScrapesThroughTheExporter()
{
    const QString prometheus = QStandardPaths::findExecutable(QStringLiteral("prometheus"));
    if (prometheus.isEmpty())
        QSKIP("prometheus is not installed (./tools.sh installs it)");
    QTemporaryDir dir;
    const quint16 port = FreePort();
    const QString config = QStringLiteral(R"(global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: zeva
    metrics_path: /probe
    params:
      module: [default]
    static_configs:
      - targets: ["127.0.0.1:%1"]
    relabel_configs:
      - source_labels: [__address__]
        target_label: __param_target
      - source_labels: [__param_target]
        target_label: instance
      - target_label: __address__
        replacement: 127.0.0.1:%2
)").arg(sim_.tcpPort()).arg(exporter_.port);
    QFile file(dir.filePath("prometheus.yml"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(config.toUtf8()) > 0);
    file.close();

    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(prometheus, {"--config.file=" + file.fileName(), "--storage.tsdb.path=" + dir.filePath("data"),
                              QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port)});
    QVERIFY(server.waitForStarted(kWait));
    const auto query = [&](const QString& promql) {
        QUrl url(QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(port));
        url.setQuery(QUrlQuery{{"query", promql}});
        const Reply r = Get(url);
        const QJsonArray result = QJsonDocument::fromJson(r.body)["data"]["result"].toArray();
        return result.isEmpty() ? QString() : result.first()["value"].toArray().at(1).toString();
    };
    const QString instance = QStringLiteral("127.0.0.1:%1").arg(sim_.tcpPort());
    const bool held = QTest::qWaitFor([&] {
        return query(QStringLiteral("zeva_variable_value{variable=\"LIMIT\",instance=\"%1\"}").arg(instance)) == "305419896"
            && query(QStringLiteral("zeva_probe_success{instance=\"%1\"}").arg(instance)) == "1";
    }, 30000);
    server.terminate();
    server.waitForFinished(kWait);
    QVERIFY2(held, server.readAll().right(3000).constData());
}

QTEST_GUILESS_MAIN(tst_ExporterProgram)
#include "tst_ExporterProgram.moc"
