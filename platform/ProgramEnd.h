#pragma once

namespace platform {

// Ends the whole program from inside an event handler. The caller returns
// from its handler right after calling End(); the program stops once control
// is back in the event loop.
class IProgramEnd {
public:
    virtual ~IProgramEnd() = default;
    virtual void End(int exitStatus) = 0;
};

} // namespace platform
