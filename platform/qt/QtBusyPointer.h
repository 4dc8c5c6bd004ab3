#pragma once

#include <BusyPointer.h>

class QWidget;

namespace platform {

// The wait cursor over one window.
class QtBusyPointer final : public IBusyPointer {
public:
    explicit QtBusyPointer(QWidget* window = nullptr) : window_(window) {}
    void SetWindow(QWidget* window) { window_ = window; }
    void SetBusy(bool busy) override;

private:
    QWidget* window_;
};

} // namespace platform
