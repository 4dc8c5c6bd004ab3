#pragma once

#include <optional>
#include <string_view>

namespace platform {

// The application's title, used by a message box that is given none.
inline constexpr std::string_view kDefaultTitle = "Zeva Client";

// A modal box with the critical icon and one OK button. Show() returns when
// the user has dismissed it. Texts are UTF-8.
class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    virtual void Show(std::string_view text, std::optional<std::string_view> title = std::nullopt) = 0;
};

} // namespace platform
