// The window started from the command line, against the simulator on
// loopback: address and protocol filled in, and the log read back as CSV.
#include <ClientSession.h>
#include <SimProcess.h>

#include <Fakes.h>

#include <QDateTime>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

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
    void logOnFullDisk();
    void stopSignal_data();
    void stopSignal();

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
    std::unique_ptr<simtest::Simulator> device;
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
    device = std::make_unique<simtest::Simulator>(config);
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
    QCOMPARE(lines[0], QStringLiteral("time,seq,rtt_us,outcome,state,value,device,variable"));
    const QStringList row = lines[1].split(QLatin1Char(','));
    QCOMPARE(row.size(), 8);
    const QDateTime when = QDateTime::fromString(row[0], Qt::ISODateWithMs);
    QVERIFY2(when.isValid() && row[0].endsWith(QLatin1Char('Z')) && row[0].size() == 27, qPrintable(row[0]));
    // Parsed to the nearest millisecond, so it may round up past the clock.
    QVERIFY(when >= before && when <= QDateTime::currentDateTimeUtc().addMSecs(1));
    const QString device = QStringLiteral("127.0.0.1:%1").arg(this->device->tcpPort());
    QCOMPARE(row.mid(1), (QStringList{"0", QString::number(shown.toLongLong() * 1000), "answer", "0000", "1234",
                                      device, "%MW0"}));
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
    QCOMPARE(lines[1].section(QLatin1Char(','), 3),
             QStringLiteral("device_error,0201,4660,127.0.0.1:%1,%MW5").arg(device->tcpPort()));
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
                     && line.section(QLatin1Char(','), 3)
                            == QStringLiteral("answer,0000,0000,127.0.0.1:%1,%MW0").arg(device->tcpPort()),
                 qPrintable(line));
}

void tst_ClientSession::logAppends()
{
    QFile earlier(logPath());
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("time,seq,rtt_us,outcome,state,value,device,variable\n"
                  "2026-01-01T00:00:00.000000Z,0,1000,answer,0000,00,127.0.0.1:2004,%MW0\n");
    earlier.close();
    open({{}, false, logPath()});
    click("cmdConnect");
    click("cmdStatus");
    QTRY_COMPARE_WITH_TIMEOUT(edit("txtValue")->text().size(), 40, 10000);
    session.reset();

    const QStringList lines = rows();
    QCOMPARE(lines.size(), 3); // no second header
    // A status answer names no variable.
    QVERIFY2(lines[2].endsWith(QStringLiteral(",answer,0000,14131211100F0E0D0C0B0A090807060504030201,127.0.0.1:%1,")
                                   .arg(device->tcpPort())),
             qPrintable(lines[2]));
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

void tst_ClientSession::logOnFullDisk()
{
    // Run again as a child whose files the system keeps small (a file size
    // limit, its signal ignored): the window reads at full speed until its
    // log cannot take more.
    const QString childLog = qEnvironmentVariable("ZEVA_TEST_FULL_LOG");
    if (!childLog.isEmpty()) {
        open({{}, false, childLog});
        click("cmdConnect");
        click("cmdReadCont");
        QTRY_VERIFY_WITH_TIMEOUT(!session->Logging(), 30000);
        click("cmdReadCont");
        return;
    }
#ifdef Q_OS_WIN
    QSKIP("a file size limit is set through a POSIX shell, which Windows has not");
#endif
    if (!QFile::exists(QStringLiteral("/bin/sh")))
        QSKIP("a file size limit is set through a POSIX shell");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZEVA_TEST_FULL_LOG"), logPath());
    child.setProcessEnvironment(env);
    child.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("trap '' XFSZ; ulimit -f 4; exec \"$0\" logOnFullDisk"),
                 QCoreApplication::applicationFilePath()});
    QVERIFY(child.waitForFinished(120000));
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    const QString errors = QString::fromLocal8Bit(child.readAllStandardError());
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, qPrintable(output + errors));

    // Logging stopped with its message, and the log holds whole rows only.
    QVERIFY2(errors.contains(QStringLiteral("zeva-client: writing the log file %1 failed").arg(logPath()))
                 && errors.contains(QStringLiteral("logging stopped")),
             qPrintable(errors));
    QFile file(logPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.size() <= 4 * 1024);
    QVERIFY2(content.endsWith('\n'), content.right(80).constData());
    const QStringList lines = rows();
    QVERIFY(lines.size() > 1);
    QCOMPARE(lines[0], QStringLiteral("time,seq,rtt_us,outcome,state,value,device,variable"));
    for (const QString& line : lines.mid(1))
        QVERIFY2(line.size() > 27 && line.section(QLatin1Char(','), 1) == QLatin1String("0,")
                         + line.section(QLatin1Char(','), 2, 2) + QLatin1String(",answer,0000,0000,127.0.0.1:")
                         + line.section(QLatin1Char(','), 6, 6).section(QLatin1Char(':'), 1) + QLatin1String(",%MW0"),
                 qPrintable(line));
}

void tst_ClientSession::stopSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void tst_ClientSession::stopSignal()
{
    QFETCH(int, signal);
    sim::Config config;
    config.faults.errors.insert("%MW5", 0x1234);
    open({{}, false, logPath()}, config);
    click("cmdConnect");
    edit("txtVar")->setText(QStringLiteral("%MW5"));
    click("cmdRead");
    QTRY_COMPARE_WITH_TIMEOUT(box.shown.size(), 1u, 10000);
    click("cmdRead");
    QTRY_COMPARE_WITH_TIMEOUT(box.shown.size(), 2u, 10000);

    // The window closes as its close button would, and both device errors
    // are in the log while the program has yet to end.
    QCOMPARE(std::raise(signal), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!session->Window().isVisible(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(device->connectionCount(), 0, 10000);
    const QStringList lines = rows();
    QCOMPARE(lines.size(), 3);
    for (const QString& line : lines.mid(1))
        QCOMPARE(line.section(QLatin1Char(','), 3),
                 QStringLiteral("device_error,0000,4660,127.0.0.1:%1,%MW5").arg(device->tcpPort()));
    QCOMPARE(box.shown.size(), 2u);
    QVERIFY(exit.statuses.empty());
}

QTEST_MAIN(tst_ClientSession)
#include "tst_ClientSession.moc"
