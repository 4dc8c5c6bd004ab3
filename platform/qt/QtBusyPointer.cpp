#include "QtBusyPointer.h"

#include <QWidget>

namespace platform {

void QtBusyPointer::SetBusy(bool busy)
{
    if (!window_)
        return;
    if (busy)
        window_->setCursor(Qt::WaitCursor);
    else
        window_->unsetCursor();
}

} // namespace platform
