#pragma once

#include <SignalWatch.h>

#include <QTimer>

#include <array>
#include <vector>

namespace platform {

// Standard C++ and Qt only: the handler (std::signal) sets a flag, and a
// QTimer looks at it from the event loop every 50 ms. Where a console sends
// Ctrl-C as SIGINT, this is all it takes. A system without SIGHUP has no
// reload signal: that watch starts and never calls.
class QtSignalWatch final : public ISignalWatch {
public:
    explicit QtSignalWatch(SignalKind kind);
    ~QtSignalWatch() override;
    QtSignalWatch(const QtSignalWatch&) = delete;
    QtSignalWatch& operator=(const QtSignalWatch&) = delete;

    bool Start(std::function<void()> handler) override;

private:
    using Handler = void (*)(int);

    SignalKind kind_;
    std::function<void()> handler_;
    QTimer poll_;
    std::vector<int> signals_;
    std::array<Handler, 2> previous_ = {};
    std::size_t installed_ = 0;
};

} // namespace platform
