// zeva-exporter beside a device that floods answers matching no request
// (zeva-sim --fault flood), over real HTTP on 127.0.0.1: probes of it end at
// their deadline, and a good device's probes beside ten of them are answered
// as if they were not there.
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int kWait = 60000; // generous: the sanitizer build on a busy machine is slow

// zeva-sim on free ports; its TCP port.
quint16 StartSim(QProcess& p, const QStringList& extra)
{
    p.start(QStringLiteral(ZEVA_SIM_PATH), QStringList{"--tcp-port", "0", "--udp-port", "0"} + extra);
    if (!p.waitForStarted(kWait) || !QTest::qWaitFor([&] { return p.canReadLine(); }, kWait))
        return 0;
    return quint16(QRegularExpression(R"(tcp (\d+) udp)").match(QString::fromLocal8Bit(p.readLine())).captured(1).toUInt());
}

double Sample(const QByteArray& text, const QByteArray& series)
{
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return qQNaN();
}

} // namespace

class tst_ExporterFlood : public QObject {
    Q_OBJECT

private slots:
    void floodingDeviceHoldsNoProbeBack();

private:
    // A client of its own for each probe: one client holds at most six
    // connections to a server and queues the rest. The scrape's timeout of
    // 3 s less the offset of 0.5 s: a deadline of 2.5 s.
    QNetworkReply* Probe(quint16 exporter, quint16 device)
    {
        auto& http = http_.emplace_back(std::make_unique<QNetworkAccessManager>());
        http->setProxy(QNetworkProxy::NoProxy);
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/probe?module=default&target=127.0.0.1:%2")
                                         .arg(exporter)
                                         .arg(device)));
        request.setRawHeader("X-Prometheus-Scrape-Timeout-Seconds", "3");
        return http->get(request);
    }

    std::vector<std::unique_ptr<QNetworkAccessManager>> http_;
};

void tst_ExporterFlood::floodingDeviceHoldsNoProbeBack()
{
    QProcess good, flood, exporter;
    const quint16 goodPort = StartSim(good, {});
    const quint16 floodPort = StartSim(flood, {"--fault", "flood"});
    QVERIFY(goodPort && floodPort);
    QTemporaryFile config;
    QVERIFY(config.open());
    config.write("allow: [127.0.0.0/8]\nmodules:\n  default:\n    status: true\n    variables:\n"
                 "      - name: \"%MW0\"\n      - {name: LIMIT, type: DWORD}\n      - {name: SPEED, type: WORD}\n");
    config.flush();
    exporter.setProcessChannelMode(QProcess::MergedChannels);
    exporter.start(QStringLiteral(ZEVA_EXPORTER_PATH),
                   {"--config.file", config.fileName(), "--web.listen-address", "127.0.0.1:0"});
    QByteArray log;
    QRegularExpressionMatch listening;
    QVERIFY(QTest::qWaitFor([&] {
        log += exporter.readAll();
        listening = QRegularExpression(R"(msg=listening address=127\.0\.0\.1:(\d+))").match(QString::fromUtf8(log));
        return listening.hasMatch();
    }, kWait));
    const quint16 port = quint16(listening.captured(1).toUInt());

    // Ten probes of the flooding device at once, and good ones one after
    // another beside them until those have ended.
    std::vector<std::unique_ptr<QNetworkReply>> flooded;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 10; ++i)
        flooded.emplace_back(Probe(port, floodPort));
    const auto floodedDone = [&] {
        return std::all_of(flooded.begin(), flooded.end(), [](const auto& r) { return r->isFinished(); });
    };
    int goodProbes = 0;
    for (; !floodedDone() && clock.elapsed() < kWait; ++goodProbes) {
        std::unique_ptr<QNetworkReply> reply(Probe(port, goodPort));
        QElapsedTimer goodClock;
        goodClock.start();
        QVERIFY(QSignalSpy(reply.get(), &QNetworkReply::finished).wait(kWait));
        QCOMPARE(Sample(reply->readAll(), "zeva_probe_success"), 1.0);
        // Held up by the flood it took 33 s; alone a few ms. Generous for a
        // loaded machine.
        QVERIFY2(goodClock.elapsed() < 2000, qPrintable(QString::number(goodClock.elapsed())));
    }
    QVERIFY(QTest::qWaitFor(floodedDone, kWait));
    const qint64 floodedMs = clock.elapsed();
    QVERIFY(goodProbes >= 1);
    for (const auto& reply : flooded)
        QCOMPARE(Sample(reply->readAll(), "zeva_probe_success"), 0.0);
    // Their deadline is 2.5 s; held up by the flood they took 34 s each.
    QVERIFY2(floodedMs < 2500 + 3000, qPrintable(QString::number(floodedMs)));
    for (QProcess* p : {&exporter, &flood, &good}) {
        p->terminate();
        p->waitForFinished(kWait);
    }
}

QTEST_GUILESS_MAIN(tst_ExporterFlood)
#include "tst_ExporterFlood.moc"
