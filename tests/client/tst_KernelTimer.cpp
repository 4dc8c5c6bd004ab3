#include <KernelTimer.h>

#include <QElapsedTimer>
#include <QTest>

#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Elapsed final : platform::ITimerEvents {
    int count = 0;
    void Timer_Elapsed() override { ++count; }
};

} // namespace

class tst_KernelTimer : public QObject {
    Q_OBJECT

private slots:
    void elapsesOnce_data();
    void elapsesOnce();
};

// What each step does to the timer, and how many Elapsed events follow: an
// expiry that Stop or a later Start overtakes must not come through.
void tst_KernelTimer::elapsesOnce_data()
{
    QTest::addColumn<std::vector<int>>("starts"); // milliseconds; -1 is Stop
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("atLeastMs");
    QTest::newRow("started") << std::vector<int>{20} << 1 << 20;
    QTest::newRow("at once") << std::vector<int>{0} << 1 << 0;
    QTest::newRow("stopped after expiry") << std::vector<int>{5, -1} << 0 << 0;
    QTest::newRow("restarted after expiry") << std::vector<int>{5, 60} << 1 << 60;
    QTest::newRow("stopped, started") << std::vector<int>{5, -1, 30} << 1 << 30;
}

void tst_KernelTimer::elapsesOnce()
{
    QFETCH(std::vector<int>, starts);
    QFETCH(int, expected);
    QFETCH(int, atLeastMs);
    platform::KernelTimer timer;
    Elapsed events;
    timer.SetListener(&events);
    QElapsedTimer clock;
    clock.start();
    qint64 firstAt = -1;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const int step = starts[i];
        // The loop does not run between steps: an earlier expiry is counted
        // by the kernel and still unread when the next step comes.
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (step < 0) {
            timer.Stop();
        } else {
            clock.restart();
            timer.Start(std::int64_t{step} * 1000);
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(events.count, expected, 5000);
    if (expected > 0)
        firstAt = clock.elapsed();
    QTest::qWait(120);
    QCOMPARE(events.count, expected);
    QVERIFY(!timer.IsActive());
    if (expected > 0)
        QVERIFY2(firstAt >= atLeastMs, qPrintable(QString::number(firstAt)));
}

QTEST_GUILESS_MAIN(tst_KernelTimer)
#include "tst_KernelTimer.moc"
