#pragma once

#include <SignalWatch.h>

#include <signal.h>
#include <memory>

class QSocketNotifier;

namespace platform {

// The handler writes a byte into a socket pair; the event loop watches the
// other end like any socket and calls `stop` when it is readable. The pair
// is made once and kept for the process's life, so a late signal never
// writes to a closed descriptor.
class PosixSignalWatch final : public ISignalWatch {
public:
    PosixSignalWatch();
    ~PosixSignalWatch() override;
    PosixSignalWatch(const PosixSignalWatch&) = delete;
    PosixSignalWatch& operator=(const PosixSignalWatch&) = delete;

    bool Start(std::function<void()> stop) override;

private:
    std::function<void()> stop_;
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction previousInt_ = {};
    struct sigaction previousTerm_ = {};
    bool installed_ = false;
};

} // namespace platform
