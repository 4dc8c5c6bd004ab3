#include "ClientSession.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace app {

namespace {

constexpr int kFlushIntervalMs = 1000;

} // namespace

ClientSession::ClientSession(const StartOptions& options, ui::Services services, client::Ports ports)
    : logPath_(options.logPath),
      traffic_(options.traffic),
      box_(services.messageBox),
      window_(std::make_unique<ui::frmClient>(services, ports))
{
    if (!box_) {
        ownBox_ = std::make_unique<platform::QtMessageBox>(window_.get());
        box_ = ownBox_.get();
    }
    if (!options.host.isEmpty())
        window_->SetText(client::Control::txtIpAdd, options.host.toStdString());
    if (options.udp)
        window_->SelectUdp();

    if (!logPath_.isEmpty() && log_.Open(QFileInfo(logPath_).filesystemFilePath(), &logError_)) {
        // Not a box: one would stop a continuous read until clicked away.
        // At full speed the rows are written from the exchange's handler,
        // otherwise by the timer: the message comes from either.
        log_.SetFailureHandler([this](const std::string& reason) {
            std::fprintf(stderr, "zeva-client: writing the log file %s failed (%s); logging stopped\n",
                         QFile::encodeName(logPath_).constData(), reason.c_str());
        });
        window_->SetExchangeObserver(&log_);
        flushTimer_.setInterval(kFlushIntervalMs);
        QObject::connect(&flushTimer_, &QTimer::timeout, [this] { FlushLog(); });
        flushTimer_.start();
    }
}

ClientSession::~ClientSession()
{
    signalWatch_.reset();
    flushTimer_.stop();
    window_->SetExchangeObserver(nullptr);
    FlushLog();
    log_.SetFailureHandler(nullptr);
}

void ClientSession::Start()
{
    window_->show();
    if (traffic_)
        window_->OpenTraffic();
    signalWatch_ = platform::MakeSignalWatch();
    if (!signalWatch_->Start([this] { Stop(); }))
        std::fputs("zeva-client: cannot catch SIGINT and SIGTERM\n", stderr);
    if (!logPath_.isEmpty() && !log_.IsOpen()) {
        const QString text = QStringLiteral("The log file %1 cannot be written (%2). The window runs without a log.")
                                 .arg(logPath_, QString::fromLocal8Bit(logError_.c_str()));
        box_->Show(text.toStdString(), std::nullopt);
    }
}

void ClientSession::Stop()
{
    // The last window closed ends the program's event loop; the rows are
    // on disk before that.
    window_->close();
    FlushLog();
}

void ClientSession::FlushLog()
{
    log_.Flush();
}

} // namespace app
