#pragma once

#include <SignalWatch.h>

#include <signal.h>

#include <array>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace platform {

// The handler writes a byte into a socket pair; the event loop watches the
// other end like any socket and calls `handler` when it is readable. Each
// kind of watch (stop, reload) has its own pair, made once and kept for the
// process's life, so a late signal never writes to a closed descriptor.
class PosixSignalWatch final : public ISignalWatch {
public:
    explicit PosixSignalWatch(SignalKind kind);
    ~PosixSignalWatch() override;
    PosixSignalWatch(const PosixSignalWatch&) = delete;
    PosixSignalWatch& operator=(const PosixSignalWatch&) = delete;

    bool Start(std::function<void()> handler) override;

private:
    SignalKind kind_;
    std::function<void()> handler_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<int> signals_;
    std::array<struct sigaction, 2> previous_ = {};
    std::size_t installed_ = 0;
};

} // namespace platform
