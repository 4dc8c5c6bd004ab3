#pragma once

#include <MessageBox.h>

class QWidget;

namespace platform {

// Qt's modal critical box with one OK button, over the given parent window.
class QtMessageBox final : public IMessageBox {
public:
    explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    void Show(std::string_view text, std::optional<std::string_view> title = std::nullopt) override;

private:
    QWidget* parent_;
};

} // namespace platform
