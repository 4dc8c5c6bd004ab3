#pragma once

namespace platform {

// The window's mouse pointer: the busy (hourglass) pointer on or off.
class IBusyPointer {
public:
    virtual ~IBusyPointer() = default;
    virtual void SetBusy(bool busy) = 0;
};

} // namespace platform
