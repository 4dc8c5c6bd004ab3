#include "EventLoop.h"

#include <QByteArray>
#include <QtGlobal>

namespace platform {

void UseScalableEventLoop()
{
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

} // namespace platform
