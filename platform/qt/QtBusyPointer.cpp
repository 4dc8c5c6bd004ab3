#include "QtBusyPointer.h"

#include <QCursor>
#include <QGuiApplication>

namespace platform {

QtBusyPointer::~QtBusyPointer()
{
    SetBusy(false);
}

void QtBusyPointer::SetBusy(bool busy)
{
    // Override cursors stack; only a change pushes or pops one.
    if (busy == busy_)
        return;
    busy_ = busy;
    if (busy)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    else
        QGuiApplication::restoreOverrideCursor();
}

} // namespace platform
