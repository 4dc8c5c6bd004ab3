// zeva-exporter probing a device that floods answers matching no request
// (zeva-sim --fault flood), end to end over real HTTP on 127.0.0.1: the
// probe of the flooding device ends at its deadline, and a good device's
// probe beside ten such probes is answered as if they were not there.
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int kWait = 60000; // generous: the sanitizer build on a busy machine is slow

const QString kExporter = QStringLiteral(ZEVA_EXPORTER_PATH);
const QString kSim = QStringLiteral(ZEVA_SIM_PATH);

// Three variables and the status, as a dashboard module reads them.
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
)");

struct Sim {
    QProcess process;
    quint16 tcp = 0;

    bool Start(const QStringList& extra)
    {
        process.start(kSim, QStringList{"--tcp-port", "0", "--udp-port", "0"} + extra);
        if (!process.waitForStarted(kWait) || !QTest::qWaitFor([&] { return process.canReadLine(); }, kWait))
            return false;
        const auto m = QRegularExpression(R"(tcp (\d+) udp)").match(QString::fromLocal8Bit(process.readLine()));
        tcp = quint16(m.captured(1).toUInt());
        return m.hasMatch();
    }
    ~Sim()
    {
        process.terminate();
        process.waitForFinished(kWait);
    }
};

struct Exporter {
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
    QByteArray log;

    bool Start()
    {
        QFile f(dir.filePath(QStringLiteral("exporter.yml")));
        if (!f.open(QIODevice::WriteOnly) || f.write(kConfig.toUtf8()) != kConfig.toUtf8().size())
            return false;
        f.close();
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, &process, [this] { log = (log + process.readAll()).right(1 << 16); });
        process.start(kExporter, {"--config.file", f.fileName(), "--web.listen-address", "127.0.0.1:0"});
        const QRegularExpression listening(R"(msg=listening address=127\.0\.0\.1:(\d+))");
        return process.waitForStarted(kWait) && QTest::qWaitFor([&] {
                   const auto m = listening.match(QString::fromUtf8(log));
                   port = quint16(m.captured(1).toUInt());
                   return m.hasMatch();
               }, kWait);
    }
    ~Exporter()
    {
        process.terminate();
        process.waitForFinished(kWait);
    }
};

double Sample(const QByteArray& text, const QString& series)
{
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith((series + QLatin1Char(' ')).toUtf8()))
            return line.mid(series.size() + 1).toDouble();
    }
    return qQNaN();
}

} // namespace

class tst_ExporterFlood : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void floodingDeviceHoldsNoProbeBack();

private:
    // A client of its own for each probe: one client holds at most six
    // connections to a server and queues the rest.
    QNetworkReply* Probe(quint16 device)
    {
        auto& http = http_.emplace_back(std::make_unique<QNetworkAccessManager>());
        http->setProxy(QNetworkProxy::NoProxy);
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/probe?module=default&target=127.0.0.1:%2")
                                         .arg(exporter_.port)
                                         .arg(device)));
        // A deadline of 2.5 s: the header less the offset of 0.5 s.
        request.setRawHeader("X-Prometheus-Scrape-Timeout-Seconds", "3");
        return http->get(request);
    }

    Sim good_;
    Sim flood_;
    Exporter exporter_;
    std::vector<std::unique_ptr<QNetworkAccessManager>> http_;
};

void tst_ExporterFlood::initTestCase()
{
    QVERIFY(good_.Start({}));
    QVERIFY(flood_.Start({"--fault", "flood"}));
    QVERIFY2(exporter_.Start(), exporter_.log.constData());
}

void tst_ExporterFlood::floodingDeviceHoldsNoProbeBack()
{
    // Ten probes of the flooding device at once, and good ones one after
    // another beside them until those have ended.
    std::vector<std::unique_ptr<QNetworkReply>> flooded;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 10; ++i)
        flooded.emplace_back(Probe(flood_.tcp));
    const auto floodedDone = [&] {
        for (const auto& reply : flooded) {
            if (!reply->isFinished())
                return false;
        }
        return true;
    };
    int goodProbes = 0;
    while (!floodedDone() && clock.elapsed() < kWait) {
        std::unique_ptr<QNetworkReply> good(Probe(good_.tcp));
        QElapsedTimer goodClock;
        goodClock.start();
        QSignalSpy goodDone(good.get(), &QNetworkReply::finished);
        QVERIFY(goodDone.wait(kWait));
        const qint64 goodMs = goodClock.elapsed();
        QCOMPARE(Sample(good->readAll(), "zeva_probe_success"), 1.0);
        // Held up by the flood it took 33 s; alone, a few ms. Generous for
        // a loaded machine.
        QVERIFY2(goodMs < 2000, qPrintable(QString::number(goodMs)));
        ++goodProbes;
    }
    QVERIFY(QTest::qWaitFor(floodedDone, kWait));
    const qint64 floodedMs = clock.elapsed();
    QVERIFY(goodProbes >= 1);
    for (const auto& reply : flooded) {
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(Sample(reply->readAll(), "zeva_probe_success"), 0.0);
    }
    // Their deadline is 2.5 s; held up by the flood they took 34 s each.
    QVERIFY2(floodedMs < 2500 + 3000, qPrintable(QString::number(floodedMs)));
}

QTEST_GUILESS_MAIN(tst_ExporterFlood)
#include "tst_ExporterFlood.moc"
