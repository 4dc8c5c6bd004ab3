// The traffic window against the simulator on loopback, and fed known
// frames and times through its model where the device cannot give them.
#include <frmClient.h>
#include <frmTraffic.h>
#include <SimProcess.h>

#include <Fakes.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QtTest>

class tst_frmTraffic : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void rows_data();
    void rows();
    void errorsOnly();
    void pauseCountsFramesNotShown();
    void closedKeepsNothing();
    void boundOfRows();
    void percentiles_data();
    void percentiles();

private:
    void open(sim::Config config = {}, bool udp = false);
    void click(const char* name) const
    {
        QWidget* w = window->findChild<QWidget*>(QString::fromLatin1(name));
        QVERIFY2(w, name);
        QTest::mouseClick(w, Qt::LeftButton);
    }
    void clickTraffic(const char* name) const
    {
        auto* b = traffic()->findChild<QAbstractButton*>(QString::fromLatin1(name));
        QVERIFY2(b, name);
        b->click();
    }
    void type(const char* name, const QString& text) const
    {
        auto* e = window->findChild<QLineEdit*>(QString::fromLatin1(name));
        e->clear();
        QTest::keyClicks(e, text);
    }
    ui::frmTraffic* traffic() const { return window->Traffic(); }
    QAbstractItemModel* table() const { return traffic()->findChild<QTableView*>("tblFrames")->model(); }
    QString label(const char* name) const { return traffic()->findChild<QLabel*>(QString::fromLatin1(name))->text(); }
    QString cell(int row, int column) const { return table()->index(row, column).data().toString(); }
    // Dir and Decoded of every row shown.
    QStringList shown() const
    {
        traffic()->Refresh();
        QStringList out;
        for (int r = 0; r < table()->rowCount(); ++r)
            out << cell(r, 1) + " " + cell(r, 3);
        return out;
    }
    // A read of %MW0 and its answer, through the window's buttons.
    void read(const QString& variable = QStringLiteral("%MW0"))
    {
        const std::uint64_t before = window->Logic().Answers();
        type("txtVar", variable);
        click("cmdRead");
        QTRY_VERIFY_WITH_TIMEOUT(window->Logic().Answers() > before, 20000);
    }

    FakeMessageBox box;
    FakeExit exit;
    std::unique_ptr<simtest::Simulator> device;
    std::unique_ptr<ui::frmClient> window;
};

void tst_frmTraffic::open(sim::Config config, bool udp)
{
    config.tcpPort = 0;
    config.udpPort = 0;
    device = std::make_unique<simtest::Simulator>(config);
    QString error;
    QVERIFY2(device->start(&error), qPrintable(error));
    window = std::make_unique<ui::frmClient>(ui::Services{&box, nullptr, &exit},
                                             client::Ports{device->tcpPort(), device->udpPort()});
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->OpenTraffic();
    QVERIFY(traffic()->isVisible());
    if (udp) {
        click("optUDP");
        click("cmdConnect");
    } else {
        click("cmdConnect");
        QTRY_VERIFY_WITH_TIMEOUT(!window->findChild<QLineEdit*>("txtIpAdd")->isEnabled(), 20000);
    }
}

void tst_frmTraffic::cleanup()
{
    window.reset();
    device.reset();
    box.shown.clear();
    exit.statuses.clear();
}

void tst_frmTraffic::rows_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("expected"); // the rows after the connection's own

    QTest::newRow("read") << false << "cmdRead" << "%mw0" << ""
                          << QStringList{"TX read %MW0 (WORD)", "RX value 1234, state 0000"};
    QTest::newRow("write") << false << "cmdWrite" << "%MD4" << "89ABCDEF"
                           << QStringList{"TX write %MD4 = 89ABCDEF", "RX write done, state 0000"};
    QTest::newRow("status") << false << "cmdStatus" << "" << ""
                            << QStringList{"TX status",
                                           "RX status 14131211100F0E0D0C0B0A090807060504030201, state 0000"};
    QTest::newRow("device error")
        << false << "cmdRead" << "%MW9999" << ""
        << QStringList{"TX read %MW9999 (WORD)",
                       "RX error 0x22: Struct 오류 또는 Out or Range 오류가 발생하였습니다."};
    // Cut after 24 bytes: too short to say whether the device refused.
    QTest::newRow("malformed") << true << "cmdRead" << "%MW0" << ""
                               << QStringList{"TX read %MW0 (WORD)", "RX malformed"};
    // The device closes the connection after its first answer.
    QTest::newRow("socket event") << false << "cmdRead" << "%MW0" << ""
                                  << QStringList{"TX read %MW0 (WORD)", "RX value 1234, state 0000",
                                                 "-- closed by the device"};
}

void tst_frmTraffic::rows()
{
    QFETCH(bool, udp);
    QFETCH(QString, command);
    QFETCH(QString, variable);
    QFETCH(QString, value);
    QFETCH(QStringList, expected);

    sim::Config config;
    if (QByteArray(QTest::currentDataTag()) == "malformed")
        config.faults.truncate = 24;
    if (QByteArray(QTest::currentDataTag()) == "socket event")
        config.faults.closeAfter = 1;
    if (QByteArray(QTest::currentDataTag()) == "read")
        config.faults.delayMs = 20;
    open(config, udp);
    QVERIFY(device->writeArea('M', 0, QByteArray::fromHex("3412")));
    if (!variable.isEmpty())
        type("txtVar", variable);
    type("txtValue", value);
    click(qPrintable(command));

    if (!udp)
        expected.prepend(QStringLiteral("-- connected to 127.0.0.1:%1").arg(device->tcpPort()));
    QTRY_COMPARE_WITH_TIMEOUT(shown(), expected, 20000);
    // The request went out as the Hex column shows it, and its answer is timed.
    const int tx = udp ? 0 : 1;
    const QString hex = cell(tx, 5);
    QVERIFY2(hex.startsWith(QLatin1String("56 4F 52 4E 2D 4B 45 4C 54 55 00 00 00 33")), qPrintable(hex));
    QCOMPARE(cell(tx, 2).toInt(), hex.split(QLatin1Char(' ')).size());
    const QString rtt = cell(tx + 1, 4);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d+\\.\\d{3}$")).match(rtt).hasMatch(), qPrintable(rtt));
    // The same exchange as the main window times it in whole milliseconds.
    const double shown = window->findChild<QLineEdit*>("txtResTime")->text().toDouble();
    QVERIFY2(std::abs(rtt.toDouble() - shown) < 2.0, qPrintable(rtt));
    if (QByteArray(QTest::currentDataTag()) == "read")
        QVERIFY2(rtt.toDouble() >= 20.0, qPrintable(rtt));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$")).match(cell(tx, 0)).hasMatch());
}

void tst_frmTraffic::errorsOnly()
{
    sim::Config config;
    config.faults.errors.insert("%MW5", 0x22);
    open(config);
    read();
    read(QStringLiteral("%MW5"));
    read();
    QCOMPARE(shown().size(), 7);
    clickTraffic("chkErrorsOnly");
    QCOMPARE(shown(), QStringList({QStringLiteral("-- connected to 127.0.0.1:%1").arg(device->tcpPort()),
                                  QStringLiteral("RX error 0x22: Struct 오류 또는 Out or Range 오류가 발생하였습니다.")}));
    clickTraffic("chkErrorsOnly");
    QCOMPARE(shown().size(), 7);
}

void tst_frmTraffic::pauseCountsFramesNotShown()
{
    open();
    read();
    auto* pause = traffic()->findChild<QPushButton*>("cmdPause");
    clickTraffic("cmdPause");
    QCOMPARE(pause->text(), QStringLiteral("Resume"));
    QCOMPARE(pause->accessibleName(), QStringLiteral("Resume"));
    read();
    read();
    QCOMPARE(shown().size(), 3);
    QCOMPARE(label("lblNotShown"), QStringLiteral("4 frames not shown"));
    QCOMPARE(traffic()->findChild<QLabel*>("lblNotShown")->accessibleDescription(), label("lblNotShown"));

    clickTraffic("cmdPause");
    QCOMPARE(pause->text(), QStringLiteral("Pause"));
    QCOMPARE(label("lblNotShown"), QStringLiteral("0 frames not shown"));
    read();
    QCOMPARE(shown().size(), 5);
}

void tst_frmTraffic::closedKeepsNothing()
{
    open();
    read();
    traffic()->close();
    read();
    read();
    window->OpenTraffic();
    QCOMPARE(shown().size(), 3);
    read();
    QCOMPARE(shown().size(), 5);
}

void tst_frmTraffic::boundOfRows()
{
    open();
    ui::TrafficModel& model = traffic()->Model();
    for (int i = 0; i < 100005; ++i)
        model.SocketEventHappened(client::SocketEvent::Error, std::to_string(i));
    traffic()->Refresh();
    QCOMPARE(table()->rowCount(), 100000);
    QCOMPARE(cell(0, 3), QStringLiteral("error: 5"));
    QCOMPARE(cell(99999, 3), QStringLiteral("error: 100004"));
    // The connection's own row went first of all.
    model.SocketEventHappened(client::SocketEvent::Error, "last");
    traffic()->Refresh();
    QCOMPARE(table()->rowCount(), 100000);
    QCOMPARE(cell(0, 3), QStringLiteral("error: 6"));
}

void tst_frmTraffic::percentiles_data()
{
    QTest::addColumn<QList<qint64>>("micros");
    QTest::addColumn<QString>("text");

    QTest::newRow("none") << QList<qint64>{} << "no answers yet";
    QTest::newRow("one") << QList<qint64>{1234} << "p50 1.234 ms  p95 1.234 ms  p99 1.234 ms  max 1.234 ms  (1 answer)";
    QList<qint64> hundred;
    for (qint64 i = 100; i >= 1; --i)
        hundred << i * 1000 + 7;
    QTest::newRow("hundred") << hundred << "p50 50.007 ms  p95 95.007 ms  p99 99.007 ms  max 100.007 ms  (100 answers)";
    QList<qint64> stall(98, 2001);
    stall << 40000 << 3 << 4000000;
    QTest::newRow("stall") << stall << "p50 2.001 ms  p95 2.001 ms  p99 40.000 ms  max 4000.000 ms  (101 answers)";
}

void tst_frmTraffic::percentiles()
{
    QFETCH(QList<qint64>, micros);
    QFETCH(QString, text);

    open();
    const std::vector<std::uint8_t> frame(34, 0);
    modZeva::Answer answer;
    answer.kind = modZeva::AnswerKind::Read;
    for (qint64 t : micros)
        traffic()->Model().FrameReceived(frame, answer, 0, t);
    // An answer that was not timed does not count.
    traffic()->Model().FrameReceived(frame, answer, 0, std::nullopt);
    traffic()->Refresh();
    QCOMPARE(label("lblPercentiles"), text);
    QCOMPARE(traffic()->findChild<QLabel*>("lblPercentiles")->accessibleDescription(), text);
    clickTraffic("cmdClear");
    QCOMPARE(label("lblPercentiles"), QStringLiteral("no answers yet"));
    QCOMPARE(table()->rowCount(), 0);
}

QTEST_MAIN(tst_frmTraffic)
#include "tst_frmTraffic.moc"
