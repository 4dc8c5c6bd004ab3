#pragma once

#include "CommandLine.h"

#include <ExchangeLog.h>
#include <SignalWatch.h>
#include <frmClient.h>

#include <QTimer>

#include <memory>

namespace app {

// The window as the command line asks for it: address and protocol filled
// in, and the log of its exchanges written to a file, flushed every second
// and on the way out. SIGINT and SIGTERM close the window as its close
// button does, with the log written out.
class ClientSession {
public:
    explicit ClientSession(const StartOptions& options, ui::Services services = {}, client::Ports ports = {});
    ~ClientSession();

    // Shows the window (and the traffic window, if asked for) and from then
    // on takes SIGINT and SIGTERM for a close; a log file that could not be
    // opened is reported then, once, and the window runs without a log.
    void Start();

    ui::frmClient& Window() { return *window_; }
    bool Logging() const { return log_.IsOpen(); }

private:
    void FlushLog();
    // A stop signal came: the window closes and the log is written out.
    void Stop();

    QString logPath_;
    bool traffic_ = false;
    std::string logError_;
    // Declared before the window, which holds a pointer to it, so that it
    // outlives the window.
    client::ExchangeLog log_;
    platform::IMessageBox* box_ = nullptr;
    std::unique_ptr<ui::frmClient> window_;
    std::unique_ptr<platform::QtMessageBox> ownBox_;
    QTimer flushTimer_;
    std::unique_ptr<platform::ISignalWatch> signalWatch_;
};

} // namespace app
