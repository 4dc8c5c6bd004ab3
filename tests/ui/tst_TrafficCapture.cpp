// The traffic window's capture against the simulator on loopback, read back
// with tcpdump: every frame held whatever is shown, as the table shows it
// (time, direction, bytes), between the connection's addresses and ports.
#include <frmClient.h>
#include <frmTraffic.h>
#include <SimProcess.h>

#include <CaptureReader.h>
#include <Fakes.h>

#include <QCheckBox>
#include <QDateTime>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

class tst_TrafficCapture : public QObject {
    Q_OBJECT

private slots:
    void everyFrameHeld_data();
    void everyFrameHeld();
};

void tst_TrafficCapture::everyFrameHeld_data()
{
    QTest::addColumn<bool>("udp");
    QTest::newRow("tcp") << false;
    QTest::newRow("udp") << true;
}

void tst_TrafficCapture::everyFrameHeld()
{
    QFETCH(bool, udp);
    if (QStandardPaths::findExecutable(QStringLiteral("tcpdump")).isEmpty())
        QSKIP("tcpdump is needed to read captures back");
    FakeMessageBox box;
    FakeExit exit;
    sim::Config config;
    config.tcpPort = 0;
    config.udpPort = 0;
    simtest::Simulator device(config);
    QString error;
    QVERIFY2(device.start(&error), qPrintable(error));
    ui::frmClient window(ui::Services{&box, nullptr, &exit}, client::Ports{device.tcpPort(), device.udpPort()});
    window.show();
    window.OpenTraffic();
    const auto click = [&](const char* name) { QTest::mouseClick(window.findChild<QWidget*>(name), Qt::LeftButton); };
    if (udp)
        click("optUDP");
    click("cmdConnect");
    if (!udp)
        QTRY_VERIFY_WITH_TIMEOUT(!window.findChild<QLineEdit*>("txtIpAdd")->isEnabled(), 20000);
    window.findChild<QLineEdit*>("txtVar")->setText(QStringLiteral("%MW0"));
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t before = window.Logic().Answers();
        click("cmdRead");
        QTRY_VERIFY_WITH_TIMEOUT(window.Logic().Answers() > before, 20000);
    }

    // Time, direction and hex of the frames as the table shows them.
    ui::frmTraffic* traffic = window.Traffic();
    traffic->Refresh();
    const QAbstractItemModel* table = traffic->findChild<QTableView*>("tblFrames")->model();
    QStringList shown;
    for (int r = 0; r < table->rowCount(); ++r) {
        const QString dir = table->index(r, ui::TrafficModel::ColDir).data().toString();
        if (dir != QLatin1String("--"))
            shown << table->index(r, ui::TrafficModel::ColTime).data().toString() + " " + dir + " "
                         + table->index(r, ui::TrafficModel::ColHex).data().toString().remove(QLatin1Char(' '));
    }
    QCOMPARE(shown.size(), 6);

    // None shown: the capture holds them all the same.
    traffic->findChild<QCheckBox*>("chkErrorsOnly")->setChecked(true);
    traffic->Refresh();
    for (int r = 0; r < table->rowCount(); ++r)
        QCOMPARE(table->index(r, ui::TrafficModel::ColDir).data().toString(), QStringLiteral("--"));
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("traffic.pcapng"));
    QVERIFY2(traffic->SaveCapture(file, &error), qPrintable(error));

    QString complaints;
    const QList<test::Packet> packets = test::ReadCapture(file, &complaints);
    QVERIFY2(!complaints.contains(QLatin1String("exit")), qPrintable(complaints));
    const quint16 port = udp ? device.udpPort() : device.tcpPort();
    QStringList captured;
    for (const test::Packet& p : packets) {
        QVERIFY(p.sumOk);
        QCOMPARE(p.src, QStringLiteral("127.0.0.1"));
        QCOMPARE(p.dst, QStringLiteral("127.0.0.1"));
        QVERIFY(p.srcPort == port || p.dstPort == port);
        QCOMPARE(p.srcPort == port ? p.dstPort : p.srcPort, packets[0].srcPort);
        captured << QDateTime::fromMSecsSinceEpoch(p.micros / 1000).toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz"))
                        + (p.srcPort == port ? " RX " : " TX ") + QString::fromLatin1(p.payload.toHex().toUpper());
    }
    QCOMPARE(captured, shown);
}

QTEST_MAIN(tst_TrafficCapture)
#include "tst_TrafficCapture.moc"
