// The window started from the command line, against the simulator on
// loopback: address and protocol filled in, and the log read back as CSV.
#include <ClientSession.h>
#include <Simulator.h>

#include <Fakes.h>

#include <QDateTime>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

class tst_ClientSession : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void hostAndProtocol();
    void logRead();
    void logDeviceError();
    void logContinuousRun();
    void logAppends();
    void unwritableLog();

private:
    void open(const app::StartOptions& options, sim::Config config = {});
    QStringList rows() const; // the log's lines, header first
    QString logPath() const { return dir->filePath(QStringLiteral("exchanges.csv")); }
    QLineEdit* edit(const char* name) const
    {
        return session->Window().findChild<QLineEdit*>(QString::fromLatin1(name));
    }
    void click(const char* name) const
    {
        QTest::mouseClick(session->Window().findChild<QWidget*>(QString::fromLatin1(name)), Qt::LeftButton);
    }

    FakeMessageBox box;
    FakeExit exit;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<sim::Simulator> device;
    std::unique_ptr<app::ClientSession> session;
};

void tst_ClientSession::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void tst_ClientSession::cleanup()
{
    session.reset();
    device.reset();
    dir.reset();
    box.shown.clear();
    exit.statuses.clear();
}

void tst_ClientSession::open(const app::StartOptions& options, sim::Config config)
{
    config.tcpPort = 0;
    config.udpPort = 0;
    device = std::make_unique<sim::Simulator>(config);
    QString error;
    QVERIFY2(device->start(&error), qPrintable(error));
    session = std::make_unique<app::ClientSession>(options, ui::Services{&box, nullptr, &exit},
                                                   client::Ports{device->tcpPort(), device->udpPort()});
    session->Start();
    QVERIFY(QTest::qWaitForWindowExposed(&session->Window()));
}

QStringList tst_ClientSession::rows() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

void tst_ClientSession::hostAndProtocol()
{
    open({QStringLiteral("localhost"), true, {}});
    QCOMPARE(edit("txtIpAdd")->text(), QStringLiteral("localhost"));
    QVERIFY(session->Window().findChild<QRadioButton*>("optUDP")->isChecked());
    QCOMPARE(session->Window().findChild<QPushButton*>("cmdConnect")->text(), QStringLiteral("Start"));
    QVERIFY(!session->Logging());
}

void tst_ClientSession::logRead()
{
    const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
    open({{}, false, logPath()});
    QVERIFY(device->writeArea('M', 0, QByteArray::fromHex("3412")));
    click("cmdConnect");
    click("cmdRead");
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text(), QStringLiteral("1234"), 10000);
    const QString shown = edit("txtResTime")->text();
    session.reset(); // flushes on the way out

    const QStringList lines = rows();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QStringLiteral("time,seq,rtt_us,outcome,state,value"));
    const QStringList row = lines[1].split(QLatin1Char(','));
    QCOMPARE(row.size(), 6);
    const QDateTime when = QDateTime::fromString(row[0], Qt::ISODateWithMs);
    QVERIFY2(when.isValid() && row[0].endsWith(QLatin1Char('Z')) && row[0].size() == 27, qPrintable(row[0]));
    // Parsed to the nearest millisecond, so it may round up past the clock.
    QVERIFY(when >= before && when <= QDateTime::currentDateTimeUtc().addMSecs(1));
    QCOMPARE(row.mid(1), (QStringList{"0", QString::number(shown.toLongLong() * 1000), "answer", "0000", "1234"}));
}

void tst_ClientSession::logDeviceError()
{
    sim::Config config;
    config.faults.errors.insert("%MW5", 0x1234);
    config.stateWord = 0x0201;
    open({{}, false, logPath()}, config);
    click("cmdConnect");
    edit("txtVar")->setText(QStringLiteral("%MW5"));
    click("cmdRead");
    QTRY_COMPARE_WITH_TIMEOUT(box.shown.size(), 1u, 10000);
    session.reset();

    const QStringList lines = rows();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1].section(QLatin1Char(','), 3), QStringLiteral("device_error,0201,4660"));
}

void tst_ClientSession::logContinuousRun()
{
    open({{}, false, logPath()});
    click("cmdConnect");
    click("cmdReadCont");
    QTRY_VERIFY_WITH_TIMEOUT(device->requestsAnswered() >= 20, 10000);
    // Written within the second, while the window runs on.
    QTRY_VERIFY_WITH_TIMEOUT(rows().size() > 10, 5000);
    click("cmdReadCont");
    // The answer on its way when the loop stopped is logged too.
    QTRY_COMPARE_WITH_TIMEOUT(rows().size(), 1 + device->requestsReceived(), 10000);
    session.reset();

    const QStringList lines = rows();
    QCOMPARE(lines.size(), 1 + device->requestsReceived());
    for (const QString& line : lines.mid(1))
        QVERIFY2(line.section(QLatin1Char(','), 1, 1) == QLatin1String("0")
                     && line.section(QLatin1Char(','), 3) == QLatin1String("answer,0000,0000"),
                 qPrintable(line));
}

void tst_ClientSession::logAppends()
{
    QFile earlier(logPath());
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("time,seq,rtt_us,outcome,state,value\n2026-01-01T00:00:00.000000Z,0,1000,answer,0000,00\n");
    earlier.close();
    open({{}, false, logPath()});
    click("cmdConnect");
    click("cmdStatus");
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text().size(), 40, 10000);
    session.reset();

    const QStringList lines = rows();
    QCOMPARE(lines.size(), 3); // no second header
    QVERIFY(lines[2].endsWith(QLatin1String(",answer,0000,14131211100F0E0D0C0B0A090807060504030201")));
}

void tst_ClientSession::unwritableLog()
{
    const QString path = dir->filePath(QStringLiteral("no-such-folder/exchanges.csv"));
    open({{}, false, path});
    QCOMPARE(box.shown.size(), 1u);
    QVERIFY2(QString::fromStdString(box.shown[0].text).contains(path), box.shown[0].text.c_str());
    QCOMPARE(box.shown[0].title, std::string("Zeva Client"));
    QVERIFY(!session->Logging());

    // The window works as without --log.
    QVERIFY(device->writeArea('M', 0, QByteArray::fromHex("3412")));
    click("cmdConnect");
    click("cmdRead");
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text(), QStringLiteral("1234"), 10000);
    QCOMPARE(box.shown.size(), 1u);
    QVERIFY(!QFile::exists(path));
}

QTEST_MAIN(tst_ClientSession)
#include "tst_ClientSession.moc"
