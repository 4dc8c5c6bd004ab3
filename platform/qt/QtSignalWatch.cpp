#include "QtSignalWatch.h"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

namespace {

// A lock-free atomic is one of the few things a signal handler may touch;
// one flag per kind of watch.
std::atomic<int> g_requested[3] = {0, 0, 0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnSignal(int signal)
{
    g_requested[static_cast<int>(KindOf(signal))].store(1);
    // Some systems put the default handler back before calling this one.
    std::signal(signal, OnSignal);
}

constexpr int kPollMs = 50;

#ifdef _WIN32
// A console program is told of Ctrl-C, Ctrl-Break, its console window
// closing, the user logging off and the system shutting down by a call on a
// thread of the system's. Each is a request to stop. After the last three the
// system ends the process as soon as this returns (5 s at most after a close),
// so the call waits for the event loop to finish the program meanwhile:
// leaving main ends the process, this thread included.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    g_requested[static_cast<int>(SignalKind::Stop)].store(1);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(kCloseGraceMs);
    return TRUE;
}
#endif

} // namespace

QtSignalWatch::QtSignalWatch(SignalKind kind) : kind_(kind), signals_(SignalsOf(kind))
{
    poll_.setInterval(kPollMs);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
        if (g_requested[static_cast<int>(kind_)].exchange(0) != 0 && handler_)
            handler_();
    });
}

QtSignalWatch::~QtSignalWatch()
{
#ifdef _WIN32
    if (kind_ == SignalKind::Stop && installed_ == signals_.size())
        ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
#endif
    for (std::size_t i = 0; i < installed_; ++i)
        std::signal(signals_[i], previous_[i]);
}

bool QtSignalWatch::Start(std::function<void()> handler)
{
    g_requested[static_cast<int>(kind_)].store(0);
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
#ifdef _WIN32
    if (kind_ == SignalKind::Stop && !::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
        while (installed_ > 0) {
            --installed_;
            std::signal(signals_[installed_], previous_[installed_]);
        }
        return false;
    }
#endif
    poll_.start();
    return true;
}

std::unique_ptr<ISignalWatch> MakeWatch(SignalKind kind)
{
    return std::make_unique<QtSignalWatch>(kind);
}

} // namespace platform
