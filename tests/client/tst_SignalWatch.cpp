#include <SignalWatch.h>

#include <QTest>

#include <csignal>

// Whichever watch this build has: a stop signal sent to the process reaches
// the event loop, and the process lives on.
class tst_SignalWatch : public QObject {
    Q_OBJECT

private slots:
    void stopReachesEventLoop_data();
    void stopReachesEventLoop();
};

void tst_SignalWatch::stopReachesEventLoop_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void tst_SignalWatch::stopReachesEventLoop()
{
    QFETCH(int, signal);
    const auto watch = platform::MakeSignalWatch();
    int stops = 0;
    QVERIFY(watch->Start([&stops] { ++stops; }));
    QCOMPARE(std::raise(signal), 0);
    QCOMPARE(stops, 0); // not from inside the handler
    QTRY_COMPARE_WITH_TIMEOUT(stops, 1, 5000);
    QTest::qWait(120);
    QCOMPARE(stops, 1);
}

QTEST_GUILESS_MAIN(tst_SignalWatch)
#include "tst_SignalWatch.moc"
