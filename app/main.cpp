#include "ClientSession.h"
#include "CommandLine.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const app::CommandLine commandLine(arguments);
    if (const auto status = commandLine.ExitStatus()) {
        // Enough to name the program in the help; needs no display.
        const QCoreApplication core(argc, argv);
        std::fputs(commandLine.Text().toLocal8Bit().constData(), *status == 0 ? stdout : stderr);
        return *status;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(ZEVA_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("zeva-client"));
    app::ClientSession session(commandLine.Options());
    session.Start();
    return app.exec();
}
