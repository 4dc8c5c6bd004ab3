#include "QtProgramEnd.h"

#include <QCoreApplication>

namespace platform {

void QtProgramEnd::End(int exitStatus)
{
    QCoreApplication::exit(exitStatus);
}

} // namespace platform
