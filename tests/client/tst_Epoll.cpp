// The epoll set under the Linux event loop and the simulator: what a
// watcher may do while the set tells it what is ready.
#include <Epoll.h>

#include <QTest>
#include <QUdpSocket>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

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

int Fd(const QUdpSocket& socket)
{
    return int(socket.socketDescriptor());
}

// A socket on 127.0.0.1, with a datagram waiting when sent is set: readable.
std::unique_ptr<QUdpSocket> Socket(bool sent)
{
    auto socket = std::make_unique<QUdpSocket>();
    if (socket->bind(QHostAddress::LocalHost, 0) && sent)
        socket->writeDatagram("x", 1, QHostAddress::LocalHost, socket->localPort());
    return socket;
}

} // namespace

// Two sockets found ready by one wait, each with the recorder as watcher.
struct TwoReady {
    TwoReady()
    {
        set.Open();
        for (auto& socket : sockets) {
            socket = Socket(true);
            set.Watch(Fd(*socket), EPOLLIN, &recorder);
        }
        ready = set.Wait(5000);
    }
    platform::Epoll set;
    Recorder recorder;
    std::unique_ptr<QUdpSocket> sockets[2];
    platform::Epoll::Ready ready;
};

class tst_Epoll : public QObject {
    Q_OBJECT
private slots:
    void forgottenDuringDispatch();
    void closedDuringDispatch();
};

// The watcher told first drops the other socket and opens one that takes its
// number: what the wait found for the old one must reach no one.
void tst_Epoll::forgottenDuringDispatch()
{
    TwoReady t;
    QCOMPARE(t.ready.count, 2);
    std::unique_ptr<QUdpSocket> fresh;
    int old = -1;
    t.recorder.then = [&] {
        auto& other = t.sockets[t.recorder.told.front() == Fd(*t.sockets[0]) ? 1 : 0];
        old = Fd(*other);
        t.set.Forget(old);
        other.reset();
        fresh = Socket(false); // nothing sent: never readable
        QVERIFY(t.set.Watch(Fd(*fresh), EPOLLIN, &t.recorder));
    };
    t.set.Dispatch(t.ready);
    QCOMPARE(t.recorder.told.size(), std::size_t(1));
    QVERIFY2(fresh && Fd(*fresh) == old, "the number was not used again; the case did not arise");
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
