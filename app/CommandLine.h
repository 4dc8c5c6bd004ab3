#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

namespace app {

// What the command line asks of the window.
struct StartOptions {
    QString host;    // empty: the window's own default
    bool udp = false;
    QString logPath; // empty: no log
    bool traffic = false; // the traffic window opened at start
};

// zeva-client's command line. It is read before the window system is
// touched, so that --help, --version and a bad command line work without a
// display.
class CommandLine {
public:
    explicit CommandLine(const QStringList& arguments);

    // Set when the program is to print Text() and stop instead of opening
    // the window: 0 after --help or --version, 2 after a bad command line.
    std::optional<int> ExitStatus() const { return exitStatus_; }
    // For stdout when ExitStatus() is 0, for stderr otherwise. Names the
    // program after the application object's first argument, if there is one.
    QString Text() const;

    const StartOptions& Options() const { return options_; }

private:
    enum class Print { Nothing, Help, Version, Error };

    QCommandLineParser parser_;
    StartOptions options_;
    std::optional<int> exitStatus_;
    Print print_ = Print::Nothing;
    QString error_;
};

} // namespace app
