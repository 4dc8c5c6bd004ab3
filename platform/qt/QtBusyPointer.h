#pragma once

#include <BusyPointer.h>

namespace platform {

// The wait cursor over the program's window, text boxes included (an
// application override cursor, so a child's own cursor does not hide it).
class QtBusyPointer final : public IBusyPointer {
public:
    QtBusyPointer() = default;
    QtBusyPointer(const QtBusyPointer&) = delete;
    QtBusyPointer& operator=(const QtBusyPointer&) = delete;
    ~QtBusyPointer() override;

    void SetBusy(bool busy) override;

private:
    bool busy_ = false;
};

} // namespace platform
