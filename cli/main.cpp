#include "Zeva.h"

#include <EventLoop.h>

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    // Qt's own event loop instead of GLib's where there is no scalable one:
    // a program without windows needs no GLib integration, and it costs
    // fewer system calls per exchange.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    platform::UseScalableEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zeva"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEVA_VERSION));
    return cli::Run(QCoreApplication::arguments(), stdout, stderr);
}
