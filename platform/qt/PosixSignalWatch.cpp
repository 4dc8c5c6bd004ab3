#include "PosixSignalWatch.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

// [0] is written by the handler, [1] read by the event loop. Both ends are
// non-blocking: a handler must never wait, and a full pair already holds a
// request to stop.
int g_pair[2] = {-1, -1};

// Only async-signal-safe work here: wake the event loop through the pair.
void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_pair[0], &byte, 1);
}

void Drain()
{
    char bytes[64];
    while (::read(g_pair[1], bytes, sizeof bytes) > 0) {
    }
}

} // namespace

PosixSignalWatch::PosixSignalWatch() = default;

PosixSignalWatch::~PosixSignalWatch()
{
    if (installed_) {
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::sigaction(SIGTERM, &previousTerm_, nullptr);
    }
}

bool PosixSignalWatch::Start(std::function<void()> stop)
{
    if (g_pair[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_pair) != 0)
        return false;
    Drain(); // what an earlier watch left unread is not a request to this one
    stop_ = std::move(stop);
    notifier_ = std::make_unique<QSocketNotifier>(g_pair[1], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        Drain();
        if (stop_)
            stop_();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, &previousInt_) != 0)
        return false;
    if (::sigaction(SIGTERM, &action, &previousTerm_) != 0) {
        ::sigaction(SIGINT, &previousInt_, nullptr);
        return false;
    }
    installed_ = true;
    return true;
}

std::unique_ptr<ISignalWatch> MakeSignalWatch()
{
    return std::make_unique<PosixSignalWatch>();
}

} // namespace platform
