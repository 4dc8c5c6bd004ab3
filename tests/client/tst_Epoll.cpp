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

// Two pipes found ready by one wait, each with the recorder as watcher.
struct TwoReady {
    TwoReady()
    {
        set.Open();
        r1 = ReadablePipe(&w1);
        r2 = ReadablePipe(&w2);
        open = {r1, r2, w1, w2};
        set.Watch(r1, EPOLLIN, &recorder);
        set.Watch(r2, EPOLLIN, &recorder);
        ready = set.Wait(5000);
    }
    ~TwoReady()
    {
        for (int fd : open)
            ::close(fd);
    }
    platform::Epoll set;
    Recorder recorder;
    int r1 = -1, r2 = -1, w1 = -1, w2 = -1;
    std::set<int> open;
    platform::Epoll::Ready ready;
};

class tst_Epoll : public QObject {
    Q_OBJECT
private slots:
    void forgottenDuringDispatch();
    void closedDuringDispatch();
};

// The watcher told first drops the other pipe and opens one that takes its
// number: what the wait found for the old one must reach no one.
void tst_Epoll::forgottenDuringDispatch()
{
    TwoReady t;
    QCOMPARE(t.ready.count, 2);
    int reused = -1;
    t.recorder.then = [&] {
        const int other = t.recorder.told.front() == t.r1 ? t.r2 : t.r1;
        t.set.Forget(other);
        ::close(other);
        t.open.erase(other);
        int fds[2];
        QVERIFY(::pipe(fds) == 0); // nothing written: never readable
        reused = fds[0];
        t.open.insert({fds[0], fds[1]});
        QVERIFY(t.set.Watch(reused, EPOLLIN, &t.recorder));
    };
    t.set.Dispatch(t.ready);
    QCOMPARE(t.recorder.told.size(), std::size_t(1));
    QVERIFY2(reused == t.r1 || reused == t.r2, "the number was not used again; the case did not arise");
}

// A watcher that closes the set ends the dispatch.
void tst_Epoll::closedDuringDispatch()
{
    TwoReady t;
    QCOMPARE(t.ready.count, 2);
    t.recorder.then = [&] { t.set.Close(); };
    t.set.Dispatch(t.ready);
    QCOMPARE(t.recorder.told.size(), std::size_t(1));
}

QTEST_GUILESS_MAIN(tst_Epoll)
#include "tst_Epoll.moc"
