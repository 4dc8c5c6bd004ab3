#pragma once

#include <SignalWatch.h>

#include <QTimer>

namespace platform {

// Standard C++ and Qt only: the handler (std::signal) sets a flag, and a
// QTimer looks at it from the event loop every 50 ms. Where a console sends
// Ctrl-C as SIGINT, this is all it takes.
class QtSignalWatch final : public ISignalWatch {
public:
    QtSignalWatch();
    ~QtSignalWatch() override;
    QtSignalWatch(const QtSignalWatch&) = delete;
    QtSignalWatch& operator=(const QtSignalWatch&) = delete;

    bool Start(std::function<void()> stop) override;

private:
    using Handler = void (*)(int);

    std::function<void()> stop_;
    QTimer poll_;
    Handler previousInt_ = nullptr;
    Handler previousTerm_ = nullptr;
    bool installed_ = false;
};

} // namespace platform
