#include "EventLoop.h"

#include <Epoll.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

namespace {

// Qt's event loop contract over epoll: posted events first, then a wait for
// the sockets, the wake-up and the nearest timer, then what became ready.
// Each socket is handed to the kernel once, when its notifiers change, not
// at every wait.
class EpollDispatcher final : public QAbstractEventDispatcher, private Epoll::Watcher {
public:
    EpollDispatcher()
    {
        wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (epoll_.Open() && wake_ >= 0)
            epoll_.Watch(wake_, EPOLLIN, this);
    }

    ~EpollDispatcher() override
    {
        epoll_.Close();
        if (wake_ >= 0)
            close(wake_);
    }

    bool Usable() const { return epoll_.IsOpen() && wake_ >= 0; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override
    {
        interrupted_.store(false, std::memory_order_relaxed);
        emit awake();
        QCoreApplication::sendPostedEvents();

        bool wait = flags.testFlag(QEventLoop::WaitForMoreEvents) && !interrupted_.load(std::memory_order_relaxed);
        int timeout = 0;
        if (wait) {
            timeout = -1;
            if (!due_.empty()) {
                const qint64 left = due_.begin()->first - NowNs();
                timeout = left <= 0 ? 0 : static_cast<int>(std::min<qint64>((left + 999'999) / 1'000'000, 1 << 30));
            }
            emit aboutToBlock();
        }
        const Epoll::Ready ready = epoll_.Wait(timeout);
        if (wait)
            emit awake();

        // A handler may run a loop of its own: what this turn dispatches is
        // put back for the turn it interrupted.
        const auto outerFlags = std::exchange(flags_, flags);
        const bool outerHandled = std::exchange(handled_, false);
        epoll_.Dispatch(ready);
        flags_ = outerFlags;
        bool handled = std::exchange(handled_, outerHandled);
        handled |= FireTimers();
        return handled;
    }

    void registerSocketNotifier(QSocketNotifier* notifier) override
    {
        Watched& w = fds_[static_cast<int>(notifier->socket())];
        w.notifiers[notifier->type()] = notifier;
        Update(static_cast<int>(notifier->socket()));
    }

    void unregisterSocketNotifier(QSocketNotifier* notifier) override
    {
        const int fd = static_cast<int>(notifier->socket());
        const auto found = fds_.find(fd);
        if (found == fds_.end() || found->second.notifiers[notifier->type()] != notifier)
            return;
        found->second.notifiers[notifier->type()] = nullptr;
        Update(fd);
    }

    void registerTimer(int id, qint64 interval, Qt::TimerType type, QObject* object) override
    {
        Timer& t = timers_[id];
        t = Timer{interval, type, object, NowNs() + interval * 1'000'000};
        due_.insert({t.due, id});
    }

    bool unregisterTimer(int id) override
    {
        const auto found = timers_.find(id);
        if (found == timers_.end())
            return false;
        due_.erase({found->second.due, id});
        timers_.erase(found);
        return true;
    }

    bool unregisterTimers(QObject* object) override
    {
        bool any = false;
        for (auto it = timers_.begin(); it != timers_.end();) {
            if (it->second.object == object) {
                due_.erase({it->second.due, it->first});
                it = timers_.erase(it);
                any = true;
            } else {
                ++it;
            }
        }
        return any;
    }

    QList<TimerInfo> registeredTimers(QObject* object) const override
    {
        QList<TimerInfo> list;
        for (const auto& [id, t] : timers_) {
            if (t.object == object)
                list.append(TimerInfo(id, static_cast<int>(t.interval), t.type));
        }
        return list;
    }

    int remainingTime(int id) override
    {
        const auto found = timers_.find(id);
        if (found == timers_.end())
            return -1;
        const qint64 left = found->second.due - NowNs();
        return left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
    }

    void wakeUp() override
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(wake_, &one, sizeof one);
    }

    void interrupt() override
    {
        interrupted_.store(true, std::memory_order_relaxed);
        wakeUp();
    }

private:
    void OnReady(int fd, std::uint32_t events) override
    {
        if (fd == wake_) {
            std::uint64_t count = 0;
            while (read(wake_, &count, sizeof count) > 0) {
            }
            return;
        }
        if (flags_.testFlag(QEventLoop::ExcludeSocketNotifiers))
            return;
        // Looked up each time: a handler may have changed any notifier.
        const bool readable = events & (EPOLLIN | EPOLLHUP | EPOLLERR);
        const bool writable = events & (EPOLLOUT | EPOLLHUP | EPOLLERR);
        if (readable)
            handled_ |= Activate(fd, QSocketNotifier::Read);
        if (writable)
            handled_ |= Activate(fd, QSocketNotifier::Write);
        if (events & EPOLLPRI)
            handled_ |= Activate(fd, QSocketNotifier::Exception);
    }

    struct Watched {
        std::array<QSocketNotifier*, 3> notifiers{}; // Read, Write, Exception
        std::uint32_t events = 0;                    // as the kernel has them; 0: not watched
    };
    struct Timer {
        qint64 interval = 0; // ms
        Qt::TimerType type = Qt::CoarseTimer;
        QObject* object = nullptr;
        qint64 due = 0; // ns on the monotonic clock
    };

    static qint64 NowNs() { return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs(); }

    void Update(int fd)
    {
        const auto found = fds_.find(fd);
        if (found == fds_.end())
            return;
        Watched& w = found->second;
        std::uint32_t wanted = 0;
        if (w.notifiers[QSocketNotifier::Read])
            wanted |= EPOLLIN;
        if (w.notifiers[QSocketNotifier::Write])
            wanted |= EPOLLOUT;
        if (w.notifiers[QSocketNotifier::Exception])
            wanted |= EPOLLPRI;
        if (wanted == w.events)
            return;
        if (wanted == 0) {
            epoll_.Forget(fd);
            fds_.erase(found);
            return;
        }
        epoll_.Watch(fd, wanted, this);
        w.events = wanted;
    }

    bool Activate(int fd, QSocketNotifier::Type type)
    {
        const auto found = fds_.find(fd);
        if (found == fds_.end())
            return false;
        QSocketNotifier* notifier = found->second.notifiers[type];
        if (!notifier || !notifier->isEnabled())
            return false;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        return true;
    }

    bool FireTimers()
    {
        const qint64 now = NowNs();
        fired_.clear();
        for (auto it = due_.begin(); it != due_.end() && it->first <= now; ++it)
            fired_.push_back(it->second);
        for (const int id : fired_) {
            // A handler may have stopped or started any timer meanwhile.
            const auto found = timers_.find(id);
            if (found == timers_.end() || found->second.due > now)
                continue;
            Timer& t = found->second;
            due_.erase({t.due, id});
            t.due = now + std::max<qint64>(t.interval, 0) * 1'000'000;
            due_.insert({t.due, id});
            QTimerEvent event(id);
            QCoreApplication::sendEvent(t.object, &event);
        }
        return !fired_.empty();
    }

    Epoll epoll_;
    int wake_ = -1;
    QEventLoop::ProcessEventsFlags flags_; // of the turn dispatching
    bool handled_ = false;                 // by the turn dispatching
    std::atomic<bool> interrupted_{false};
    std::unordered_map<int, Watched> fds_;
    std::unordered_map<int, Timer> timers_;
    std::set<std::pair<qint64, int>> due_;
    std::vector<int> fired_;
};

} // namespace

void UseScalableEventLoop()
{
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1"); // should epoll be refused
    auto* dispatcher = new EpollDispatcher;
    if (!dispatcher->Usable()) {
        delete dispatcher; // Qt's own, then
        return;
    }
    QCoreApplication::setEventDispatcher(dispatcher);
}

} // namespace platform
