#pragma once

#include <ProgramEnd.h>

namespace platform {

// Leaves the application's event loop with the given status.
class QtProgramEnd final : public IProgramEnd {
public:
    void End(int exitStatus) override;
};

} // namespace platform
