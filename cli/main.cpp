#include "Zeva.h"

#include <EventLoop.h>

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    platform::UseScalableEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zeva"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEVA_VERSION));
    return cli::Run(QCoreApplication::arguments(), stdout, stderr);
}
