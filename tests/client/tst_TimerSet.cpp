#include <QtTimerSet.h>

#include <QTest>

#include <functional>
#include <memory>

namespace {

struct Listener final : platform::ITimerEvents {
    std::function<void()> onElapsed;
    int count = 0;
    void Timer_Elapsed() override
    {
        ++count;
        if (onElapsed)
            onElapsed();
    }
};

} // namespace

class tst_TimerSet : public QObject {
    Q_OBJECT

private slots:
    void earlierListenerActs_data();
    void earlierListenerActs();
};

// Two timers of one set come due in the same wait. What the first one's
// listener does to the second decides whether the second still fires now:
// stopped or destroyed, never; started again, once, later.
void tst_TimerSet::earlierListenerActs_data()
{
    QTest::addColumn<int>("action"); // 0 nothing, 1 Stop, 2 Start again, 3 destroy
    QTest::addColumn<int>("expected");
    QTest::newRow("nothing") << 0 << 1;
    QTest::newRow("stopped") << 1 << 0;
    QTest::newRow("started again") << 2 << 1;
    QTest::newRow("destroyed") << 3 << 0;
}

void tst_TimerSet::earlierListenerActs()
{
    QFETCH(int, action);
    QFETCH(int, expected);

    platform::QtTimerSet set;
    std::unique_ptr<platform::ITimer> first = set.MakeTimer();
    std::unique_ptr<platform::ITimer> second = set.MakeTimer();
    Listener one, two;
    first->SetListener(&one);
    second->SetListener(&two);
    one.onElapsed = [&] {
        switch (action) {
        case 1: second->Stop(); break;
        case 2: second->Start(30'000); break;
        case 3: second.reset(); break;
        default: break;
        }
    };
    first->Start(5'000);
    second->Start(5'000);
    // Both due by the time the loop looks: they fire in one pass.
    QTest::qSleep(20);
    QTRY_COMPARE_WITH_TIMEOUT(one.count, 1, 5000);
    QTest::qWait(80);
    QCOMPARE(two.count, expected);
}

QTEST_GUILESS_MAIN(tst_TimerSet)
#include "tst_TimerSet.moc"
