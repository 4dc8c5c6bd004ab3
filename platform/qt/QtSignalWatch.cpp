#include "QtSignalWatch.h"

#include <atomic>
#include <csignal>

namespace platform {

namespace {

// A lock-free atomic is one of the few things a signal handler may touch.
std::atomic<int> g_requested{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnSignal(int signal)
{
    g_requested.store(1);
    // Some systems put the default handler back before calling this one.
    std::signal(signal, OnSignal);
}

constexpr int kPollMs = 50;

} // namespace

QtSignalWatch::QtSignalWatch()
{
    poll_.setInterval(kPollMs);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
        if (g_requested.exchange(0) != 0 && stop_)
            stop_();
    });
}

QtSignalWatch::~QtSignalWatch()
{
    if (installed_) {
        std::signal(SIGINT, previousInt_);
        std::signal(SIGTERM, previousTerm_);
    }
}

bool QtSignalWatch::Start(std::function<void()> stop)
{
    g_requested.store(0);
    stop_ = std::move(stop);
    previousInt_ = std::signal(SIGINT, OnSignal);
    if (previousInt_ == SIG_ERR)
        return false;
    previousTerm_ = std::signal(SIGTERM, OnSignal);
    if (previousTerm_ == SIG_ERR) {
        std::signal(SIGINT, previousInt_);
        return false;
    }
    installed_ = true;
    poll_.start();
    return true;
}

std::unique_ptr<ISignalWatch> MakeSignalWatch()
{
    return std::make_unique<QtSignalWatch>();
}

} // namespace platform
