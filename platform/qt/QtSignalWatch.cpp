#include "QtSignalWatch.h"

#include <atomic>
#include <csignal>

namespace platform {

namespace {

// A lock-free atomic is one of the few things a signal handler may touch;
// one flag per kind of watch.
std::atomic<int> g_requested[3] = {0, 0, 0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnSignal(int signal)
{
    int kind = QtSignalWatch::Stop;
#ifdef SIGHUP
    if (signal == SIGHUP)
        kind = QtSignalWatch::Reload;
#endif
#ifdef SIGQUIT
    if (signal == SIGQUIT)
        kind = QtSignalWatch::Report;
#endif
    g_requested[kind].store(1);
    // Some systems put the default handler back before calling this one.
    std::signal(signal, OnSignal);
}

constexpr int kPollMs = 50;

std::vector<int> SignalsOf(QtSignalWatch::Kind kind)
{
    if (kind == QtSignalWatch::Stop)
        return {SIGINT, SIGTERM};
    if (kind == QtSignalWatch::Report) {
#ifdef SIGQUIT
        return {SIGQUIT};
#else
        return {};
#endif
    }
#ifdef SIGHUP
    return {SIGHUP};
#else
    return {};
#endif
}

} // namespace

QtSignalWatch::QtSignalWatch(Kind kind) : kind_(kind), signals_(SignalsOf(kind))
{
    poll_.setInterval(kPollMs);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
        if (g_requested[kind_].exchange(0) != 0 && handler_)
            handler_();
    });
}

QtSignalWatch::~QtSignalWatch()
{
    for (std::size_t i = 0; i < installed_; ++i)
        std::signal(signals_[i], previous_[i]);
}

bool QtSignalWatch::Start(std::function<void()> handler)
{
    g_requested[kind_].store(0);
    handler_ = std::move(handler);
    for (; installed_ < signals_.size(); ++installed_) {
        previous_[installed_] = std::signal(signals_[installed_], OnSignal);
        if (previous_[installed_] == SIG_ERR) {
            while (installed_ > 0) {
                --installed_;
                std::signal(signals_[installed_], previous_[installed_]);
            }
            return false;
        }
    }
    poll_.start();
    return true;
}

std::unique_ptr<ISignalWatch> MakeSignalWatch()
{
    return std::make_unique<QtSignalWatch>(QtSignalWatch::Stop);
}

std::unique_ptr<ISignalWatch> MakeReloadWatch()
{
    return std::make_unique<QtSignalWatch>(QtSignalWatch::Reload);
}

std::unique_ptr<ISignalWatch> MakeReportWatch()
{
    return std::make_unique<QtSignalWatch>(QtSignalWatch::Report);
}

} // namespace platform
