// The window against the simulator on loopback: every command through the
// window's own controls, message boxes and program end through fakes.
#include <frmClient.h>
#include <SimProcess.h>

#include <Fakes.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

class tst_frmClientSession : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void readOverTcp();
    void busyWhileConnecting();
    void enterKey_data();
    void enterKey();
    void write();
    void status();
    void continuousRead();
    void typingDuringContinuousRead();
    void readOverUdp();
    void valueTooLong();
    void deviceErrors_data();
    void deviceErrors();
    void peerClose();
    void refusedConnection();
    void unloadClosesSocket();

private:
    void open(sim::Config config = {}, client::Ports ports = {});
    void connectTcp();
    QLineEdit* edit(const char* name) const { return window->findChild<QLineEdit*>(QString::fromLatin1(name)); }
    QPushButton* button(const char* name) const { return window->findChild<QPushButton*>(QString::fromLatin1(name)); }
    void click(const char* name) const
    {
        QWidget* w = window->findChild<QWidget*>(QString::fromLatin1(name));
        QVERIFY2(w, name);
        QTest::mouseClick(w, Qt::LeftButton);
    }
    void type(const char* name, const QString& text) const
    {
        edit(name)->clear();
        QTest::keyClicks(edit(name), text);
    }

    FakeMessageBox box;
    FakeExit exit;
    std::unique_ptr<simtest::Simulator> device;
    std::unique_ptr<ui::frmClient> window;
};

void tst_frmClientSession::open(sim::Config config, client::Ports ports)
{
    config.tcpPort = 0;
    config.udpPort = 0;
    device = std::make_unique<simtest::Simulator>(config);
    QString error;
    QVERIFY2(device->start(&error), qPrintable(error));
    if (ports.tcp == 2004)
        ports = {device->tcpPort(), device->udpPort()};
    window = std::make_unique<ui::frmClient>(ui::Services{&box, nullptr, &exit}, ports);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_frmClientSession::connectTcp()
{
    click("cmdConnect");
    QTRY_VERIFY_WITH_TIMEOUT(!edit("txtIpAdd")->isEnabled(), 10000);
}

void tst_frmClientSession::cleanup()
{
    window.reset();
    device.reset();
    box.shown.clear();
    exit.statuses.clear();
}

void tst_frmClientSession::readOverTcp()
{
    open();
    QVERIFY(device->writeArea('M', 0, QByteArray::fromHex("3412")));
    connectTcp();
    type("txtVar", "%mw0");
    click("cmdRead");
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text(), QStringLiteral("1234"), 10000);
    QCOMPARE(edit("txtVar")->text(), QStringLiteral("%MW0"));
    QCOMPARE(edit("txtState")->text(), QStringLiteral("0000"));
    // The first answer sets both the minimum and the maximum.
    QVERIFY(!edit("txtResTime")->text().isEmpty());
    QCOMPARE(edit("txtMinTime")->text(), edit("txtResTime")->text());
    QCOMPARE(edit("txtMaxTime")->text(), edit("txtResTime")->text());
    QVERIFY(box.shown.empty());
}

void tst_frmClientSession::busyWhileConnecting()
{
    open();
    click("cmdConnect");
    // The commands are usable before the connection is up.
    QVERIFY(QGuiApplication::overrideCursor());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    QVERIFY(button("cmdRead")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!edit("txtIpAdd")->isEnabled(), 10000);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
}

void tst_frmClientSession::enterKey_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QString>("value");
    // Enter in a field presses Read; Enter on a button presses that button.
    QTest::newRow("txtVar") << "txtVar" << "1234";
    QTest::newRow("txtValue") << "txtValue" << "1234";
    QTest::newRow("cmdStatus") << "cmdStatus" << "14131211100F0E0D0C0B0A090807060504030201";
}

void tst_frmClientSession::enterKey()
{
    QFETCH(QString, focus);
    QFETCH(QString, value);
    open();
    QVERIFY(device->writeArea('M', 0, QByteArray::fromHex("3412")));
    connectTcp();
    QWidget* target = window->findChild<QWidget*>(focus);
    target->setFocus();
    QTest::keyClick(target, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text(), value, 10000);
}

void tst_frmClientSession::write()
{
    open();
    connectTcp();
    type("txtVar", "%mw0");
    type("txtValue", "beef");
    click("cmdWrite");
    QTRY_COMPARE_WITH_TIMEOUT(device->readArea('M', 0, 2), QByteArray::fromHex("EFBE"), 10000);
    QCOMPARE(edit("txtVar")->text(), QStringLiteral("%MW0"));
    QTRY_VERIFY_WITH_TIMEOUT(!edit("txtResTime")->text().isEmpty(), 10000);
    QVERIFY(box.shown.empty());
}

void tst_frmClientSession::status()
{
    sim::Config config;
    config.stateWord = 0x0201;
    open(config);
    connectTcp();
    click("cmdStatus");
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text(), QStringLiteral("14131211100F0E0D0C0B0A090807060504030201"),
                              10000);
    QCOMPARE(edit("txtState")->text(), QStringLiteral("0201"));
}

void tst_frmClientSession::continuousRead()
{
    open();
    connectTcp();
    type("txtVar", "%mw0");
    click("cmdReadCont");
    QCOMPARE(button("cmdReadCont")->text(), QStringLiteral("Stop"));
    for (const char* name : {"cmdRead", "cmdWrite", "cmdStatus"})
        QVERIFY2(!button(name)->isEnabled(), name);
    QTRY_VERIFY_WITH_TIMEOUT(device->requestsAnswered() >= 5, 10000);
    QCOMPARE(edit("txtVar")->text(), QStringLiteral("%MW0"));

    // A change in the device shows up while the loop runs.
    QVERIFY(device->writeArea('M', 0, QByteArray::fromHex("CDAB")));
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text(), QStringLiteral("ABCD"), 10000);
    QVERIFY(edit("txtMinTime")->text().toInt() <= edit("txtMaxTime")->text().toInt());

    click("cmdReadCont");
    QCOMPARE(button("cmdReadCont")->text(), QStringLiteral("Read Cont"));
    for (const char* name : {"cmdRead", "cmdWrite", "cmdStatus"})
        QVERIFY2(button(name)->isEnabled(), name);

    // Once the loop has stopped, one status request is the only traffic.
    click("cmdStatus");
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text().size(), 40, 10000);
    const int before = device->requestsReceived();
    click("cmdStatus");
    QTRY_COMPARE_WITH_TIMEOUT(device->requestsAnswered(), before + 1, 10000);
    QCOMPARE(device->requestsReceived(), before + 1);
}

void tst_frmClientSession::typingDuringContinuousRead()
{
    open();
    connectTcp();
    click("cmdReadCont");
    QTRY_VERIFY_WITH_TIMEOUT(device->requestsAnswered() >= 2, 10000);

    // Boxes whose text stays the same are left alone: the cursor of someone
    // editing the variable's name stays where it is, and nothing repaints.
    QLineEdit* var = edit("txtVar");
    var->setFocus();
    var->setCursorPosition(1);
    QSignalSpy edited(var, &QLineEdit::textChanged);
    QSignalSpy value(edit("txtValue"), &QLineEdit::textChanged);
    const int before = device->requestsAnswered();
    QTRY_VERIFY_WITH_TIMEOUT(device->requestsAnswered() >= before + 20, 10000);
    QCOMPARE(var->cursorPosition(), 1);
    QCOMPARE(var->text(), QStringLiteral("%MW0"));
    QCOMPARE(edited.count(), 0);
    QCOMPARE(value.count(), 0);
    QCOMPARE(edit("txtValue")->text(), QStringLiteral("0000"));
    click("cmdReadCont");
}

void tst_frmClientSession::readOverUdp()
{
    open();
    QVERIFY(device->setVariable("SPEED", QByteArray::fromHex("0A00")));
    click("optUDP");
    QCOMPARE(button("cmdConnect")->text(), QStringLiteral("Start"));
    click("cmdConnect");
    QVERIFY(button("cmdRead")->isEnabled());
    QVERIFY(edit("txtIpAdd")->isEnabled());
    QCOMPARE(device->requestsReceived(), 0);

    click("optPath");
    window->findChild<QComboBox*>("cboDataType")->setCurrentIndex(1);
    type("txtVar", "speed");
    click("cmdRead");
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text(), QStringLiteral("000A"), 10000);
    QCOMPARE(edit("txtVar")->text(), QStringLiteral("SPEED"));
}

void tst_frmClientSession::valueTooLong()
{
    open();
    connectTcp();
    type("txtVar", "%MB0");
    type("txtValue", "100");
    click("cmdWrite");
    QCOMPARE(box.shown.size(), 1u);
    QCOMPARE(box.shown[0].text, std::string("입력한 데이타 길이가 최대값을 초과하였습니다."));
    QCOMPARE(box.shown[0].title, std::string("Zeva Client"));

    // Nothing was sent: the status request that follows is the first frame.
    click("cmdStatus");
    QTRY_COMPARE_WITH_TIMEOUT(device->requestsAnswered(), 1, 10000);
    QCOMPARE(device->requestsReceived(), 1);
    QVERIFY(exit.statuses.empty());
}

void tst_frmClientSession::deviceErrors_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("listIndex"); // -1: direct address
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("text");

    QTest::newRow("unknown variable") << "nosuch" << 0 << "cmdRead"
                                      << "지정된 변수가 엑세스 경로에 정의되어있지 않습니다.";
    QTest::newRow("out of range") << "%MW9999" << -1 << "cmdRead"
                                   << "Struct 오류 또는 Out or Range 오류가 발생하였습니다.";
    QTest::newRow("type") << "FLAG" << 1 << "cmdRead" << "데이타 TYPE 오류가 발생하였습니다.";
    QTest::newRow("read-only") << "LIMIT" << 2 << "cmdWrite" << "엑세스 제어권 오류가 발생하였습니다.";
    QTest::newRow("other code") << "%MW5" << -1 << "cmdRead" << "오류가 발생하였습니다. 오류번호:5";
}

void tst_frmClientSession::deviceErrors()
{
    QFETCH(QString, name);
    QFETCH(int, listIndex);
    QFETCH(QString, command);
    QFETCH(QString, text);

    sim::Config config;
    config.faults.errors.insert("%MW5", 5);
    open(config);
    connectTcp();
    if (listIndex >= 0) {
        click("optPath");
        window->findChild<QComboBox*>("cboDataType")->setCurrentIndex(listIndex);
    }
    type("txtVar", name);
    type("txtValue", "1");
    click(qPrintable(command));
    QTRY_COMPARE_WITH_TIMEOUT(box.shown.size(), 1u, 10000);
    QCOMPARE(QString::fromStdString(box.shown[0].text), text);
    QCOMPARE(box.shown[0].title, std::string("오류"));
    QCOMPARE(edit("txtValue")->text(), QString());
    QVERIFY(exit.statuses.empty());
}

void tst_frmClientSession::peerClose()
{
    sim::Config config;
    config.faults.closeAfter = 1;
    open(config);
    connectTcp();
    click("cmdRead");
    QTRY_COMPARE_WITH_TIMEOUT(exit.statuses.size(), 1u, 10000);
    QCOMPARE(box.shown.size(), 1u);
    QCOMPARE(box.shown[0].text, std::string("Close!"));
    QCOMPARE(box.shown[0].title, std::string("WinSock Message"));
    QCOMPARE(edit("txtValue")->text(), QStringLiteral("0000"));
}

void tst_frmClientSession::refusedConnection()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();

    open({}, {closedPort, 0});
    click("cmdConnect");
    QTRY_COMPARE_WITH_TIMEOUT(exit.statuses.size(), 1u, 10000);
    QCOMPARE(box.shown.size(), 1u);
    QCOMPARE(box.shown[0].title, std::string("Winsock Error"));
    QVERIFY(!box.shown[0].text.empty());
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
}

void tst_frmClientSession::unloadClosesSocket()
{
    open();
    connectTcp();
    QTRY_COMPARE_WITH_TIMEOUT(device->connectionCount(), 1, 10000);
    QSignalSpy closed(device.get(), &simtest::Simulator::connectionClosed);
    window->close();
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(device->connectionCount(), 0);
    QVERIFY(box.shown.empty());
    QVERIFY(exit.statuses.empty());
}

QTEST_MAIN(tst_frmClientSession)
#include "tst_frmClientSession.moc"
