// zeva-client's command line: what it fills in, and what it refuses.
#include <CommandLine.h>

#include <QTest>

class tst_CommandLine : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void tst_CommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitStatus"); // -1: opens the window
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("log");

    QTest::newRow("none") << QStringList{} << -1 << "" << false << "";
    QTest::newRow("all") << QStringList{"--host", "plc1", "--udp", "--log", "a.csv"} << -1 << "plc1" << true << "a.csv";
    QTest::newRow("short") << QStringList{"-H", "::1", "-u"} << -1 << "::1" << true << "";
    QTest::newRow("joined") << QStringList{"--host=10.0.0.9", "--log=x y.csv"} << -1 << "10.0.0.9" << false
                            << "x y.csv";
    QTest::newRow("help") << QStringList{"--host", "a", "--help"} << 0 << "" << false << "";
    QTest::newRow("version") << QStringList{"-v"} << 0 << "" << false << "";
    QTest::newRow("unknown") << QStringList{"--port", "1"} << 2 << "" << false << "";
    QTest::newRow("positional") << QStringList{"plc1"} << 2 << "" << false << "";
    QTest::newRow("missing value") << QStringList{"--log"} << 2 << "" << false << "";
    QTest::newRow("empty host") << QStringList{"--host", " "} << 2 << "" << false << "";
    QTest::newRow("empty log") << QStringList{"--log="} << 2 << "" << false << "";
    QTest::newRow("two logs") << QStringList{"--log", "a", "--log", "b"} << 2 << "" << false << "";
}

void tst_CommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitStatus);
    QFETCH(QString, host);
    QFETCH(bool, udp);
    QFETCH(QString, log);

    const app::CommandLine line(QStringList{"zeva-client"} + arguments);
    QCOMPARE(line.ExitStatus().value_or(-1), exitStatus);
    if (exitStatus == 2)
        QVERIFY2(line.Text().startsWith(QLatin1String("zeva-client: ")), qPrintable(line.Text()));
    if (arguments.contains(QLatin1String("--help"))) // named as installed, not by the path it ran from
        QVERIFY2(line.Text().startsWith(QLatin1String("Usage: zeva-client [options]")), qPrintable(line.Text()));
    if (exitStatus != -1)
        return;
    QCOMPARE(line.Options().host, host);
    QCOMPARE(line.Options().udp, udp);
    QCOMPARE(line.Options().logPath, log);
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_CommandLine.moc"
