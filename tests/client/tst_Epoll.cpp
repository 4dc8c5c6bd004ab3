// The epoll set under the Linux event loop and the simulator: what a
// watcher may do while the set tells it what is ready.
#include <Epoll.h>

#include <QTest>

#include <functional>
#include <set>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

struct Recorder final : platform::Epoll::Watcher {
    void OnReady(int fd, std::uint32_t) override
    {
        told.push_back(fd);
        if (then)
            std::exchange(then, nullptr)();
    }
    std::vector<int> told;
    std::function<void()> then; // once, on the first descriptor told
};

// A pipe with a byte waiting: its read end is readable.
int ReadablePipe(int* writeEnd)
{
    int fds[2];
    if (::pipe(fds) != 0 || ::write(fds[1], "x", 1) != 1)
        return -1;
    *writeEnd = fds[1];
    return fds[0];
}

} // namespace

class tst_Epoll : public QObject {
    Q_OBJECT
private slots:
    void changesDuringDispatch_data();
    void changesDuringDispatch();
};

void tst_Epoll::changesDuringDispatch_data()
{
    QTest::addColumn<bool>("closeSet");
    QTest::newRow("the other forgotten, its number watched again") << false;
    QTest::newRow("the set closed") << true;
}

// Both pipes were found ready; the watcher told first drops the other. Its
// event must not reach anyone, even a new descriptor with the same number.
void tst_Epoll::changesDuringDispatch()
{
    QFETCH(bool, closeSet);
    platform::Epoll set;
    QVERIFY(set.Open());
    int w1 = -1, w2 = -1;
    const int r1 = ReadablePipe(&w1), r2 = ReadablePipe(&w2);
    QVERIFY(r1 >= 0 && r2 >= 0);
    Recorder recorder;
    QVERIFY(set.Watch(r1, EPOLLIN, &recorder));
    QVERIFY(set.Watch(r2, EPOLLIN, &recorder));
    const platform::Epoll::Ready ready = set.Wait(5000);
    QCOMPARE(ready.count, 2);
    std::set<int> open{r1, r2, w1, w2};
    int reused = -1;
    recorder.then = [&] {
        if (closeSet) {
            set.Close();
            return;
        }
        const int other = recorder.told.front() == r1 ? r2 : r1;
        set.Forget(other);
        ::close(other);
        open.erase(other);
        int fds[2];
        QVERIFY(::pipe(fds) == 0); // nothing written: never readable
        reused = fds[0];
        open.insert({fds[0], fds[1]});
        QVERIFY(set.Watch(reused, EPOLLIN, &recorder));
    };
    set.Dispatch(ready);
    QCOMPARE(recorder.told.size(), std::size_t(1));
    if (!closeSet)
        QVERIFY2(reused == r1 || reused == r2, "the number was not used again; the case did not arise");
    for (int fd : open)
        ::close(fd);
}

QTEST_GUILESS_MAIN(tst_Epoll)
#include "tst_Epoll.moc"
