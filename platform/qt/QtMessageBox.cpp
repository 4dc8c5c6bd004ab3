#include "QtMessageBox.h"

#include <QMessageBox>
#include <QString>

namespace platform {

void QtMessageBox::Show(std::string_view text, std::optional<std::string_view> title)
{
    const std::string_view caption = title.value_or(kDefaultTitle);
    QMessageBox box(QMessageBox::Critical,
                    QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())),
                    QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok, parent_);
    box.exec();
}

} // namespace platform
