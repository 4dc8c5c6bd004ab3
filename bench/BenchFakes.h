#pragma once

// The window's modal boxes, busy pointer and program end, made harmless for
// the benchmarks that drive the window's logic: a box would wait for a click.

#include <BusyPointer.h>
#include <MessageBox.h>
#include <ProgramEnd.h>

#include <optional>
#include <string>
#include <string_view>

namespace bench {

struct SilentBox final : platform::IMessageBox {
    int shown = 0;
    std::string last;
    void Show(std::string_view text, std::optional<std::string_view>) override
    {
        ++shown;
        last.assign(text);
    }
};

struct NoBusy final : platform::IBusyPointer {
    void SetBusy(bool) override {}
};

struct NoEnd final : platform::IProgramEnd {
    bool ended = false;
    void End(int) override { ended = true; }
};

} // namespace bench
