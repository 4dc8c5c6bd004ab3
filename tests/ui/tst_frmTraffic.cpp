// The traffic window against the simulator on loopback, and fed known
// frames and times through its model where the device cannot give them.
#include <ChartScale.h>
#include <ExchangeLog.h>
#include <frmClient.h>
#include <frmTraffic.h>
#include <SimProcess.h>
#if ZEVA_CHARTS
#include <TrafficChart.h>
#endif

#include <Fakes.h>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTextEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QtTest>

#include <atomic>
#include <thread>

using ui::TrafficModel;
constexpr int ColNo = TrafficModel::ColNo, ColTime = TrafficModel::ColTime, ColDelta = TrafficModel::ColDelta,
              ColDir = TrafficModel::ColDir, ColBytes = TrafficModel::ColBytes, ColDecoded = TrafficModel::ColDecoded,
              ColRtt = TrafficModel::ColRtt, ColPair = TrafficModel::ColPair, ColHex = TrafficModel::ColHex;

class tst_frmTraffic : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup();
    void rows_data();
    void rows();
    void errorsOnly();
    void pauseCountsFramesNotShown();
    void closedKeepsNothing();
    void boundOfRows();
    void percentiles_data();
    void percentiles();
    void nothingShorterThanTheDevicesDelay();
    void strayAnswers();
    void saveKeepsExchangesGoing();
    void nameBytes_data();
    void nameBytes();
    void keyboard();
    void follow();
    void niceScale_data();
    void niceScale();
    void chart();
    void findRows();
    void numbersAndTimes();
    void pairs();
    void copy();
    void headerChecks_data();
    void headerChecks();

private:
    void open(sim::Config config = {}, bool udp = false);
    void openWindow(client::Ports ports);
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
            out << cell(r, ColDir) + " " + cell(r, ColDecoded);
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
    openWindow(client::Ports{device->tcpPort(), device->udpPort()});
    if (udp) {
        click("optUDP");
        click("cmdConnect");
    } else {
        click("cmdConnect");
        QTRY_VERIFY_WITH_TIMEOUT(!window->findChild<QLineEdit*>("txtIpAdd")->isEnabled(), 20000);
    }
}

void tst_frmTraffic::openWindow(client::Ports ports)
{
    window = std::make_unique<ui::frmClient>(ui::Services{&box, nullptr, &exit}, ports);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->OpenTraffic();
    QVERIFY(traffic()->isVisible());
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
    const QString hex = cell(tx, ColHex);
    QVERIFY2(hex.startsWith(QLatin1String("56 4F 52 4E 2D 4B 45 4C 54 55 00 00 00 33")), qPrintable(hex));
    QCOMPARE(cell(tx, ColBytes).toInt(), hex.split(QLatin1Char(' ')).size());
    const QString rtt = cell(tx + 1, ColRtt);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d+\\.\\d{3}$")).match(rtt).hasMatch(), qPrintable(rtt));
    // The same exchange as the main window times it in whole milliseconds.
    const double shown = window->findChild<QLineEdit*>("txtResTime")->text().toDouble();
    QVERIFY2(std::abs(rtt.toDouble() - shown) < 2.0, qPrintable(rtt));
    if (QByteArray(QTest::currentDataTag()) == "read")
        QVERIFY2(rtt.toDouble() >= 20.0, qPrintable(rtt));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$")).match(cell(tx, ColTime)).hasMatch());
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
    QCOMPARE(shown(), QStringList({QStringLiteral("RX error 0x22: Struct 오류 또는 Out or Range 오류가 발생하였습니다.")}));
    clickTraffic("chkErrorsOnly");
    QCOMPARE(shown().size(), 7);
}

void tst_frmTraffic::pauseCountsFramesNotShown()
{
    open();
    read();
    QCOMPARE(label("lblNotShown"), QString());
    auto* pause = traffic()->findChild<QPushButton*>("cmdPause");
    clickTraffic("cmdPause");
    QCOMPARE(pause->text(), QStringLiteral("Resume"));
    QCOMPARE(pause->accessibleName(), QStringLiteral("Resume"));
    read();
    read();
    QCOMPARE(shown().size(), 3);
    QCOMPARE(label("lblNotShown"), QStringLiteral("4 frames not shown"));
    QCOMPARE(traffic()->findChild<QLabel*>("lblNotShown")->accessibleDescription(), label("lblNotShown"));

    // After Resume the count stays until Clear, and one row marks the gap.
    clickTraffic("cmdPause");
    QCOMPARE(pause->text(), QStringLiteral("Pause"));
    QCOMPARE(label("lblNotShown"), QStringLiteral("4 frames not shown"));
    QCOMPARE(shown().last(), QStringLiteral("-- 4 frames not shown while paused"));
    read();
    QCOMPARE(shown().size(), 6);
    QCOMPARE(label("lblNotShown"), QStringLiteral("4 frames not shown"));
    // A pause that skipped nothing leaves no mark.
    clickTraffic("cmdPause");
    clickTraffic("cmdPause");
    QCOMPARE(shown().size(), 6);
    clickTraffic("cmdClear");
    QCOMPARE(label("lblNotShown"), QString());
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
    QCOMPARE(cell(0, ColDecoded), QStringLiteral("error: 5"));
    QCOMPARE(cell(99999, ColDecoded), QStringLiteral("error: 100004"));
    // Rows keep their numbers: the connection's row was No. 1.
    QCOMPARE(cell(0, ColNo), QStringLiteral("7"));
    QCOMPARE(cell(99999, ColNo), QStringLiteral("100006"));
    // The connection's own row went first of all.
    model.SocketEventHappened(client::SocketEvent::Error, "last");
    traffic()->Refresh();
    QCOMPARE(table()->rowCount(), 100000);
    QCOMPARE(cell(0, ColDecoded), QStringLiteral("error: 6"));
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

// A device that waits more than 5 ms before every answer (the simulator
// counts its delay in whole milliseconds, so 6 waits more than 5), with both
// cores kept busy so that the window is descheduled now and then: no time
// shown, logged or listed is shorter than that. (tst_ClientLogic puts the
// descheduling inside the write itself, every time.)
void tst_frmTraffic::nothingShorterThanTheDevicesDelay()
{
    sim::Config config;
    config.faults.delayMs = 6;
    open(config);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    client::ExchangeLog log;
    QVERIFY(log.Open(dir.filePath("log.csv").toStdString()));
    window->SetExchangeObserver(&log);

    std::atomic<bool> busy{true};
    std::vector<std::thread> loops;
    for (int i = 0; i < 2; ++i) {
        loops.emplace_back([&busy] {
            volatile std::uint64_t n = 0;
            while (busy.load(std::memory_order_relaxed))
                n = n + 1;
        });
    }
    click("cmdReadCont");
    QTRY_VERIFY_WITH_TIMEOUT(window->Logic().Answers() >= 300, 120000);
    click("cmdReadCont");
    busy = false;
    for (std::thread& loop : loops)
        loop.join();
    QTRY_COMPARE_WITH_TIMEOUT(window->Logic().Answers(), std::uint64_t(device->requestsReceived()), 20000);
    window->SetExchangeObserver(nullptr);
    QVERIFY(log.Flush());

    QVERIFY2(window->Logic().MinTime() >= 5, qPrintable(QString::number(window->Logic().MinTime())));
    traffic()->Refresh();
    int timed = 0;
    for (int r = 0; r < table()->rowCount(); ++r) {
        if (cell(r, ColRtt).isEmpty())
            continue;
        ++timed;
        QVERIFY2(cell(r, ColRtt).toDouble() >= 5.0, qPrintable(cell(r, ColRtt)));
    }
    QCOMPARE(std::uint64_t(timed), window->Logic().Answers());
    QFile file(dir.filePath("log.csv"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY(lines.front().startsWith("time,seq,rtt_us,"));
    int logged = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i].trimmed().isEmpty())
            continue;
        ++logged;
        const QByteArray rtt = lines[i].split(',').value(2);
        QVERIFY2(rtt.toLongLong() >= 5000, lines[i].constData());
    }
    QCOMPARE(std::uint64_t(logged), window->Logic().Answers());
}

// Answers while no request is outstanding: a second answer to the last
// request, and an answer to none sent.
void tst_frmTraffic::strayAnswers()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    openWindow(client::Ports{server.serverPort(), 1});
    click("cmdConnect");
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 20000);
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    QTRY_VERIFY_WITH_TIMEOUT(!window->findChild<QLineEdit*>("txtIpAdd")->isEnabled(), 20000);
    const auto request = [&](const char* button) {
        click(button);
        QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() > 0, 20000);
        peer->readAll();
    };
    const auto answer = [&](const char* hex) {
        const std::uint64_t before = window->Logic().Answers();
        peer->write(QByteArray::fromHex(hex));
        peer->flush();
        QTRY_VERIFY_WITH_TIMEOUT(window->Logic().Answers() > before, 20000);
    };
    const char* read1234 = "564F524E2D4B454C54550102001100000E0000195500020000000000010002003412";
    const char* readDead = "564F524E2D4B454C5455AD0B001100000E0000CE550002000000000001000200ADDE";
    const char* status = "564F524E2D4B454C54550102001100001E000029B1000000000000000000"
                         "0102030405060708090A0B0C0D0E0F1011121314";
    request("cmdRead");
    answer(read1234);
    answer(read1234);
    request("cmdStatus");
    answer(status);
    answer(readDead);
    // The window shows every answer as it always has.
    QCOMPARE(window->findChild<QLineEdit*>("txtValue")->text(), QStringLiteral("DEAD"));

    const QStringList rows = shown();
    QCOMPARE(rows.mid(1), QStringList({"TX read %MW0 (WORD)", "RX value 1234, state 0201",
                                       "RX duplicate: value 1234, state 0201", "TX status",
                                       "RX status 14131211100F0E0D0C0B0A090807060504030201, state 0201",
                                       "RX unsolicited: value DEAD, state 0BAD"}));
    QVERIFY(!cell(2, ColRtt).isEmpty());
    QCOMPARE(cell(3, ColRtt), QString());
    QCOMPARE(cell(6, ColRtt), QString());
    // A request and its answer name each other; a stray answer has no request.
    QCOMPARE(cell(1, ColPair), cell(2, ColNo));
    QCOMPARE(cell(2, ColPair), cell(1, ColNo));
    QCOMPARE(cell(3, ColPair), QString());
    QCOMPARE(cell(6, ColPair), QString());
    QCOMPARE(traffic()->Model().Percentiles().Count(), std::uint64_t(2));
    QCOMPARE(traffic()->Model().ChartPoints().size(), 2);
    clickTraffic("chkErrorsOnly");
    QCOMPARE(shown(), QStringList({"RX duplicate: value 1234, state 0201", "RX unsolicited: value DEAD, state 0BAD"}));
}

// Save... of a full table while reading continuously: the rows shown when it
// was asked for, written while the exchanges go on.
void tst_frmTraffic::saveKeepsExchangesGoing()
{
    open();
    for (int i = 0; i < 100000; ++i)
        traffic()->Model().SocketEventHappened(client::SocketEvent::Error, std::to_string(i));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("traffic.csv");
    auto* save = traffic()->findChild<QPushButton*>("cmdSave");

    click("cmdReadCont");
    traffic()->SaveTo(path);
    // Rows faster than the copy (a loaded machine) push every row saved out of the table: none may be lost.
    for (int i = 0; i < 100000; ++i)
        traffic()->Model().SocketEventHappened(client::SocketEvent::Error, "after the save began");
    const std::uint64_t atSave = window->Logic().Answers();
    QVERIFY(traffic()->Saving());
    QVERIFY(!save->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!traffic()->Saving(), 120000);
    const std::uint64_t afterSave = window->Logic().Answers();
    click("cmdReadCont");
    QVERIFY2(afterSave > atSave, "no exchange while the file was written");
    QVERIFY(save->isEnabled());
    QVERIFY(box.shown.empty());

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 100002); // the header, the rows, and after the last line end nothing
    QCOMPARE(lines[0], QByteArray("Time,Dir,Bytes,Decoded,RTT (ms),Hex\r"));
    QVERIFY2(lines[1].contains(",--,,error: 1,,"), lines[1].constData());
    QVERIFY2(lines[100000].contains(",TX,34,read %MW0 (WORD),,"), lines[100000].constData());
}

void tst_frmTraffic::nameBytes_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("decoded");
    // Reads of two-byte names (WORD): C9 41, and 25 01.
    QTest::newRow("byte above 7F") << QByteArray::fromHex("564F524E2D4B454C54550000003300000C000000"
                                                         "54000200000001000200C941")
                                   << "read \\xC9A (WORD)";
    QTest::newRow("control byte") << QByteArray::fromHex("564F524E2D4B454C54550000003300000C000000"
                                                        "540002000000010002002501")
                                  << "read %\\x01 (WORD)";
}

void tst_frmTraffic::nameBytes()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, decoded);
    const std::vector<std::uint8_t> bytes(frame.begin(), frame.end());
    QCOMPARE(QString::fromStdString(ui::DescribeRequest(bytes)), decoded);
}

void tst_frmTraffic::keyboard()
{
    open();
    read();
    traffic()->activateWindow();
    auto* frames = traffic()->findChild<QTableView*>("tblFrames");
    frames->setFocus();
    QTRY_VERIFY(frames->hasFocus());
    QTest::keyClick(frames, Qt::Key_Tab);
    QVERIFY(!frames->hasFocus());
    frames->setFocus();
    QTest::keyClick(frames, Qt::Key_Backtab, Qt::ShiftModifier);
    QVERIFY(!frames->hasFocus());
    // The chart takes no focus: Tab from the table goes round to the buttons.
    for (QWidget* w : traffic()->findChildren<QWidget*>()) {
        if (w->objectName().startsWith(QLatin1String("cht")))
            QCOMPARE(w->focusPolicy(), Qt::NoFocus);
    }

    QTest::keyClick(frames, Qt::Key_Escape);
    QVERIFY(!traffic()->isVisible());
    window->OpenTraffic();
    QTRY_VERIFY(traffic()->isActiveWindow());
    QTest::keyClick(traffic(), Qt::Key_F12);
    QVERIFY(!traffic()->isVisible());
}

void tst_frmTraffic::follow()
{
    open();
    ui::TrafficModel& model = traffic()->Model();
    auto* frames = traffic()->findChild<QTableView*>("tblFrames");
    auto* follow = traffic()->findChild<QCheckBox*>("chkFollow");
    QScrollBar* scroll = frames->verticalScrollBar();
    const auto add = [&](int n) {
        for (int i = 0; i < n; ++i)
            model.SocketEventHappened(client::SocketEvent::Error, "e");
        traffic()->Refresh();
    };
    const auto wheel = [&](int delta) {
        const QPoint at = frames->viewport()->rect().center();
        QWheelEvent event(at, frames->viewport()->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(frames->viewport(), &event);
    };
    add(500);
    QVERIFY(follow->isChecked());
    QCOMPARE(scroll->value(), scroll->maximum());

    // Scrolling up stops following; the rows in view stay as rows come.
    wheel(120 * 5);
    QVERIFY(!follow->isChecked());
    const int top = frames->rowAt(0);
    add(50);
    QCOMPARE(frames->rowAt(0), top);
    QVERIFY(scroll->value() < scroll->maximum());
    // Back to the bottom with the wheel: following again.
    wheel(-120 * 200);
    QVERIFY(follow->isChecked());
    add(50);
    QCOMPARE(scroll->value(), scroll->maximum());

    // Clicking a row stops following too.
    const int row = frames->rowAt(frames->viewport()->height() / 2);
    QTest::mouseClick(frames->viewport(), Qt::LeftButton, {}, QPoint(5, frames->rowViewportPosition(row) + 2));
    QVERIFY(!follow->isChecked());
    add(50);
    QVERIFY(frames->rowViewportPosition(row) >= 0);
    QVERIFY(frames->rowViewportPosition(row) < frames->viewport()->height());
    follow->click();
    QCOMPARE(scroll->value(), scroll->maximum());
}

void tst_frmTraffic::niceScale_data()
{
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<double>("minStep");
    QTest::addColumn<QString>("ticks");
    QTest::newRow("seconds") << 0.992 << 62.1 << 0.0 << "0 20 40 60 80";
    QTest::newRow("milliseconds") << 0.0 << 4680.0 << 0.0 << "0 2000 4000 6000";
    QTest::newRow("one time") << 32.2 << 32.2 << 0.0 << "30 35 40 45";
    QTest::newRow("small") << 0.1234 << 0.1301 << 0.0 << "0.122 0.124 0.126 0.128 0.130 0.132";
    QTest::newRow("counts up to one") << 0.0 << 1.1 << 1.0 << "0 1 2";
    QTest::newRow("no count") << 0.0 << 0.0 << 1.0 << "0 1";
}

void tst_frmTraffic::niceScale()
{
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(double, minStep);
    QFETCH(QString, ticks);
    const ui::NiceScale scale = ui::MakeNiceScale(low, high, 5, minStep);
    QStringList labels;
    for (int i = 0; i < scale.ticks; ++i)
        labels << QString::asprintf(qPrintable(QStringLiteral("%.%1f").arg(scale.decimals)), scale.min + i * scale.step);
    QCOMPARE(labels.join(QLatin1Char(' ')), ticks);
    QVERIFY(scale.min <= low && scale.max >= high);
}

// What the chart is given: the round trips in pieces broken at a pause, on
// axes with round ticks; and a window that works without it.
void tst_frmTraffic::chart()
{
    open();
#if ZEVA_CHARTS
    ui::TrafficModel& model = traffic()->Model();
    const std::vector<std::uint8_t> frame(34, 0);
    modZeva::Answer answer;
    answer.kind = modZeva::AnswerKind::Read;
    // Answers every 10 ms, then none for two seconds, then again; one slow
    // answer is a spike, not a pause.
    std::int64_t at = 5'000'000;
    for (int i = 0; i < 200; ++i, at += 10'000) {
        if (i == 100)
            at += 2'000'000;
        if (i == 150)
            at += 300'000;
        model.FrameReceived(frame, answer, at, i == 150 ? 300'000 : 1500 + (i % 7) * 100);
    }
    const ui::TrafficChart* chart = traffic()->Chart();
    QVERIFY(chart);
    // Drawn again within a tenth of a second.
    QTRY_COMPARE_WITH_TIMEOUT(chart->Pieces(), 2, 5000);
    const auto y = [&] { return chart->Axis(1); };
    QCOMPARE(y().title, QStringLiteral("ms"));
    QCOMPARE(y().labelFormat, QStringLiteral("%.0f"));
    QCOMPARE(y().min, 0.0);
    QCOMPARE(y().max, 300.0);
    // Times of a second and more in seconds.
    model.FrameReceived(frame, answer, at, 4'680'000);
    QTRY_COMPARE_WITH_TIMEOUT(y().title, QStringLiteral("s"), 5000);
    QCOMPARE(y().labelFormat, QStringLiteral("%.0f"));
    QCOMPARE(y().max, 6.0);
    QCOMPARE(chart->Axis(3).labelFormat, QStringLiteral("%.0f"));
#else
    QVERIFY(!traffic()->Chart());
#endif
    QVERIFY(traffic()->findChild<QLabel*>("lblPercentiles")->isVisible());
}

void tst_frmTraffic::findRows()
{
    sim::Config config;
    config.faults.errors.insert("%MW5", 0x22);
    open(config);
    read();
    read(QStringLiteral("%mw5"));
    click("cmdStatus");
    QTRY_COMPARE_WITH_TIMEOUT(shown().size(), 7, 20000);
    auto* filter = traffic()->findChild<QLineEdit*>("txtFilter");
    QCOMPARE(filter->accessibleName(), QStringLiteral("Filter"));
    QCOMPARE(label("lblRows"), QStringLiteral("7 of 7 rows"));
    QTest::keyClick(traffic(), Qt::Key_F, Qt::ControlModifier);
    QTRY_VERIFY(filter->hasFocus());

    // As typed, any case, in Decoded or in Hex.
    QTest::keyClicks(filter, "mw5");
    QCOMPARE(shown(), QStringList({"TX read %MW5 (WORD)"}));
    QCOMPARE(label("lblRows"), QStringLiteral("1 of 7 rows"));
    filter->clear();
    QTest::keyClicks(filter, "00 00 11 00");
    QCOMPARE(shown().size(), 3);
    for (const QString& row : shown())
        QVERIFY2(row.startsWith(QLatin1String("RX")), qPrintable(row));
    // With Errors only and Dir.
    traffic()->findChild<QCheckBox*>("chkErrorsOnly")->click();
    QCOMPARE(shown(), QStringList({QStringLiteral("RX error 0x22: Struct 오류 또는 Out or Range 오류가 발생하였습니다.")}));
    filter->clear();
    traffic()->findChild<QComboBox*>("cboDir")->setCurrentIndex(3); // events
    QCOMPARE(shown(), QStringList());
    traffic()->findChild<QCheckBox*>("chkErrorsOnly")->click();
    QCOMPARE(shown(), QStringList({QStringLiteral("-- connected to 127.0.0.1:%1").arg(device->tcpPort())}));
    traffic()->findChild<QComboBox*>("cboDir")->setCurrentIndex(1); // TX
    QCOMPARE(shown().size(), 3);
    // Rows that come while filtered are filtered as they come.
    read();
    QCOMPARE(shown().size(), 4);
    QCOMPARE(label("lblRows"), QStringLiteral("4 of 9 rows"));
}

void tst_frmTraffic::numbersAndTimes()
{
    open();
    TrafficModel& model = traffic()->Model();
    model.Clear();
    const std::vector<std::uint8_t> request(34, 0x33);
    model.FrameSent(request, 7'000'000, 1);
    model.FrameSent(request, 7'002'345, 2);
    model.FrameSent(request, 8'500'000, 3);
    traffic()->Refresh();
    auto* time = traffic()->findChild<QComboBox*>("cboTime");
    time->setCurrentIndex(0);
    QCOMPARE(cell(0, ColNo), QStringLiteral("1"));
    QCOMPARE(cell(2, ColNo), QStringLiteral("3"));
    QCOMPARE(cell(0, ColDelta), QString());
    QCOMPARE(cell(1, ColDelta), QStringLiteral("2.345"));
    QCOMPARE(cell(2, ColDelta), QStringLiteral("1497.655"));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$")).match(cell(1, ColTime)).hasMatch());
    time->setCurrentIndex(1);
    QCOMPARE(cell(0, ColTime), QStringLiteral("0.000000"));
    QCOMPARE(cell(2, ColTime), QStringLiteral("1.500000"));
    // The choice of time is kept for the next run.
    window.reset();
    openWindow(client::Ports{device->tcpPort(), device->udpPort()});
    QCOMPARE(traffic()->findChild<QComboBox*>("cboTime")->currentIndex(), 1);
    traffic()->findChild<QComboBox*>("cboTime")->setCurrentIndex(0);
}

void tst_frmTraffic::pairs()
{
    open();
    read();
    read();
    traffic()->Refresh();
    auto* frames = traffic()->findChild<QTableView*>("tblFrames");
    // Rows: connected, TX 2, RX 3, TX 4, RX 5.
    QCOMPARE(cell(3, ColPair), QStringLiteral("5"));
    QCOMPARE(cell(4, ColPair), QStringLiteral("4"));
    QCOMPARE(cell(0, ColPair), QString());
    frames->selectRow(3);
    QCOMPARE(frames->selectionModel()->selectedRows().size(), 2);
    QVERIFY(frames->selectionModel()->isRowSelected(4, {}));
    frames->selectRow(2);
    QCOMPARE(frames->selectionModel()->selectedRows().size(), 2);
    QVERIFY(frames->selectionModel()->isRowSelected(1, {}));
}

void tst_frmTraffic::copy()
{
    open();
    read();
    traffic()->Refresh();
    auto* frames = traffic()->findChild<QTableView*>("tblFrames");
    frames->selectRow(1); // the request, and with it its answer
    frames->setFocus();
    QTest::keyClick(frames, Qt::Key_C, Qt::ControlModifier);
    const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], QStringLiteral("No.\tTime\tDelta (ms)\tDir\tBytes\tDecoded\tRTT (ms)\tPair\tHex"));
    QVERIFY2(lines[1].startsWith(QLatin1String("2\t")), qPrintable(lines[1]));
    QVERIFY2(lines[1].contains(QLatin1String("\tTX\t34\tread %MW0 (WORD)\t\t3\t56 4F 52 4E")), qPrintable(lines[1]));
    QCOMPARE(lines[3], QString());

    frames->findChild<QAction*>("actCopyHex")->trigger();
    const QStringList hex = QApplication::clipboard()->text().split(QLatin1Char('\n'));
    QCOMPARE(hex.size(), 3);
    QCOMPARE(hex[0], cell(1, ColHex));
    QCOMPARE(hex[1], cell(2, ColHex));
    QCOMPARE(QByteArray::fromHex(hex[0].toLatin1()).size(), 34);

    QTemporaryDir dir;
    const QString path = dir.filePath("selected.csv");
    traffic()->SaveSelectedTo(path);
    QTRY_VERIFY_WITH_TIMEOUT(!traffic()->Saving(), 20000);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = file.readAll().split('\n');
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows[0], QByteArray("Time,Dir,Bytes,Decoded,RTT (ms),Hex\r"));
    QVERIFY2(rows[2].contains(",RX,34,\"value 0000, state 0000\","), rows[2].constData());
}

void tst_frmTraffic::headerChecks_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("decoded");
    QTest::addColumn<QString>("field");    // the line of the detail pane in red
    const QByteArray good = "564F524E2D4B454C54550102001100000E0000195500020000000000010002003412";
    QTest::newRow("sound") << good << "value 1234, state 0201" << "";
    QByteArray sum = good;
    sum.replace(38, 2, "7F");
    QTest::newRow("checksum") << sum << "checksum wrong" << "checksum\t19\t7F\t7F (expected 19)";
    QByteArray company = good;
    company.replace(0, 2, "57");
    company.replace(38, 2, "1A");
    QTest::newRow("company id") << company << "company id wrong"
                                << "company id\t0-9\t57 4F 52 4E 2D 4B 45 4C 54 55\tWORN-KELTU (expected 56 4F 52 4E 2D 4B "
                                   "45 4C 54 55 (VORN-KELTU))";
    QByteArray length = good;
    length.replace(32, 2, "0F");
    length.replace(38, 2, "1A");
    QTest::newRow("length") << length << "length wrong" << "length\t16-17\t0F 00\t15 (expected 14)";
    QByteArray command = good;
    command.replace(40, 2, "77");
    QTest::newRow("command") << command << "unknown command"
                             << "command\t20-21\t77 00\t0077 (unknown) (expected a command of the protocol)";
}

void tst_frmTraffic::headerChecks()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, decoded);
    QFETCH(QString, field);
    open();
    const QByteArray bytes = QByteArray::fromHex(frame);
    const std::vector<std::uint8_t> answer(bytes.begin(), bytes.end());
    traffic()->Model().FrameSent(std::vector<std::uint8_t>(34, 0x33), 5'000'000, 1);
    traffic()->Model().FrameReceived(answer, modZeva::DecodeResponse(answer, 2), 5'001'000, 1000,
                                     client::AnswerTo::Request, 1);
    traffic()->Refresh();
    QCOMPARE(cell(2, ColDecoded), decoded);
    traffic()->findChild<QTableView*>("tblFrames")->selectRow(2);
    auto* detail = traffic()->findChild<QTextEdit*>("txtDetail");
    QCOMPARE(detail->accessibleName(), QStringLiteral("Detail"));
    // The pane's plain text has a line per cell: name, offsets, bytes, value.
    const QString text = detail->toPlainText().replace(QLatin1Char('\n'), QLatin1Char('\t'));
    QVERIFY2(text.contains(QLatin1String("invoke id\t14-15\t00 00\t0\t")), qPrintable(text));
    // The body of an unknown command is not read.
    QCOMPARE(text.contains(QLatin1String("value\t32-33\t34 12\t1234")), decoded != QLatin1String("unknown command"));
    QCOMPARE(detail->toHtml().contains(QLatin1String("color:#c00000")), !field.isEmpty());
    if (!field.isEmpty())
        QVERIFY2(text.contains(field), qPrintable(text));
    traffic()->findChild<QCheckBox*>("chkErrorsOnly")->click();
    QCOMPARE(shown().size(), field.isEmpty() ? 0 : 1);
}

QTEST_MAIN(tst_frmTraffic)
#include "tst_frmTraffic.moc"
