#pragma once

#include <string>
#include <string_view>

namespace client {

// The window's controls that the client logic reads or writes.
enum class Control {
    optTCP, optUDP, optDirect, optPath,
    txtIpAdd, cboDataType, txtVar, txtValue,
    cmdConnect, cmdRead, cmdReadCont, cmdWrite, cmdStatus,
    txtResTime, txtMinTime, txtMaxTime, txtState,
};

// The narrow view of the window the logic works through, so that it runs
// under tests without a window. Texts are UTF-8.
class IClientView {
public:
    virtual ~IClientView() = default;
    // Text of a text box, caption of a button.
    virtual std::string Text(Control control) const = 0;
    virtual void SetText(Control control, std::string_view text) = 0;
    virtual void SetEnabled(Control control, bool enabled) = 0;
    // Whether an option button is selected.
    virtual bool Value(Control control) const = 0;
    // Selected position of a list, -1 when nothing is selected.
    virtual int ListIndex(Control control) const = 0;
};

} // namespace client
