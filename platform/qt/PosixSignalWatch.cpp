#include "PosixSignalWatch.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

// Per kind: [0] is written by the handler, [1] read by the event loop. Both
// ends are non-blocking: a handler must never wait, and a full pair already
// holds a request.
int g_pairs[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};

// Only async-signal-safe work here: wake the event loop through the pair.
void OnSignal(int signal)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_pairs[static_cast<int>(KindOf(signal))][0], &byte, 1);
}

void Drain(int fd)
{
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
}

} // namespace

PosixSignalWatch::PosixSignalWatch(SignalKind kind) : kind_(kind), signals_(SignalsOf(kind))
{
}

PosixSignalWatch::~PosixSignalWatch()
{
    for (std::size_t i = 0; i < installed_; ++i)
        ::sigaction(signals_[i], &previous_[i], nullptr);
}

bool PosixSignalWatch::Start(std::function<void()> handler)
{
    int* pair = g_pairs[static_cast<int>(kind_)];
    if (pair[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    Drain(pair[1]); // what an earlier watch left unread is not a request to this one
    handler_ = std::move(handler);
    notifier_ = std::make_unique<QSocketNotifier>(pair[1], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, fd = pair[1]] {
        Drain(fd);
        if (handler_)
            handler_();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (; installed_ < signals_.size(); ++installed_) {
        if (::sigaction(signals_[installed_], &action, &previous_[installed_]) != 0) {
            while (installed_ > 0) {
                --installed_;
                ::sigaction(signals_[installed_], &previous_[installed_], nullptr);
            }
            return false;
        }
    }
    return true;
}

std::unique_ptr<ISignalWatch> MakeWatch(SignalKind kind)
{
    return std::make_unique<PosixSignalWatch>(kind);
}

} // namespace platform
