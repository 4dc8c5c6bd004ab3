#include "Zeva.h"

#include "Capture.h"
#include "Report.h"

#include <QtMonotonicClock.h>
#include <QtSocket.h>
#include <QtTimerSet.h>
#include <OpenFiles.h>
#include <SignalWatch.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace cli {

namespace {

void Print(std::FILE* f, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), f);
    std::fflush(f);
}

// "zeva: 127.0.0.1 tcp port 2004: Connection refused"
void PrintTransportFailure(std::FILE* err, const Options& options, const Device& device, const QString& reason)
{
    Print(err, QStringLiteral("zeva: %1 %2 port %3: %4\n")
                   .arg(QString::fromStdString(device.host),
                        options.run.protocol == platform::Protocol::Udp ? QStringLiteral("udp") : QStringLiteral("tcp"))
                   .arg(device.port)
                   .arg(reason));
}

// Files held open besides the devices' sockets: the standard streams, the
// CSV file, the event loop's and the signal watch's own.
constexpr std::uint64_t kOtherFiles = 32;

// One device: its socket, timer and engine, and what the engine reports,
// passed to the printing with the device's number.
class DeviceRun final : public client::IEngineEvents {
public:
    DeviceRun(const Options& options, std::size_t index, Report& report, platform::IMonotonicClock& clock,
              platform::QtTimerSet& timers, std::FILE* err, std::function<void()> finished)
        : options_(options), index_(index), report_(report), clock_(clock), err_(err),
          finished_(std::move(finished)), timer_(timers.MakeTimer()), engine_(socket_, *timer_, clock, *this)
    {
    }

    void Engine_Exchange(const client::ExchangeReport& r) override
    {
        if (capture_)
            capture_->Settle();
        report_.Exchange(index_, r, clock_.NowMicros());
    }
    void Engine_Frame(bool sent, std::span<const std::uint8_t> frame, std::int64_t micros,
                      std::size_t variable) override
    {
        // The engine reports frames for the capture as well as the trace.
        if (options_.run.trace)
            report_.Frame(index_, variable, sent, frame, micros);
        if (capture_)
            capture_->Frame(sent, frame, micros);
    }
    void Engine_Finished(client::Ending ending, std::string_view reason) override
    {
        if (capture_)
            capture_->Settle();
        ending_ = ending;
        if (ending == client::Ending::TransportFailure)
            PrintTransportFailure(err_, options_, options_.devices[index_],
                                  QString::fromUtf8(reason.data(), qsizetype(reason.size())));
        finished_();
    }

    client::Engine& Engine() { return engine_; }
    void CaptureTo(Capture& capture) { capture_ = std::make_unique<DeviceCapture>(capture, socket_); }
    client::Ending ending_ = client::Ending::Done;

private:
    const Options& options_;
    std::size_t index_;
    Report& report_;
    platform::IMonotonicClock& clock_;
    std::FILE* err_;
    std::function<void()> finished_;
    platform::QtSocket socket_;
    std::unique_ptr<platform::ITimer> timer_;
    client::Engine engine_;
    std::unique_ptr<DeviceCapture> capture_;
};

} // namespace

int StatusOf(const Options& options, const client::RunStatistics& s, client::Ending ending)
{
    int status = kExitOk;
    if (s.deviceErrors > 0 || s.malformed > 0)
        status = kExitDeviceError;
    if (ending == client::Ending::TransportFailure || s.answered == 0 || s.closed > 0)
        status = kExitTransport;
    const bool slow = options.maxRttMs && s.RttCount() > 0
        && static_cast<double>(s.maxMicros) > *options.maxRttMs * 1000.0;
    const bool lossy = options.maxLossPercent && s.LossPercent() > *options.maxLossPercent;
    if (slow || lossy)
        status = kExitThreshold;
    return status;
}

std::string LookUpHost(const std::string& host, std::string* error)
{
    const QString name = QString::fromStdString(host);
    if (QHostAddress literal; literal.setAddress(name))
        return host;
    const QHostInfo info = QHostInfo::fromName(name);
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        *error = (info.errorString().isEmpty() ? QStringLiteral("Host not found") : info.errorString()).toStdString();
        return {};
    }
    // IPv4 first, as a device answers on it more often.
    const QList<QHostAddress> addresses = info.addresses();
    const auto v4 = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress& a) {
        return a.protocol() == QAbstractSocket::IPv4Protocol;
    });
    return (v4 != addresses.end() ? *v4 : addresses.front()).toString().toStdString();
}

int Run(const QStringList& args, std::FILE* out, std::FILE* err, const HostLookUp& lookUp)
{
    const Parsed parsed = ParseArguments(args);
    switch (parsed.kind) {
    case Parsed::Help:
        Print(out, HelpText());
        return kExitOk;
    case Parsed::Version:
        Print(out, QStringLiteral("zeva %1\n").arg(QStringLiteral(ZEVA_VERSION)));
        return kExitOk;
    case Parsed::UsageError:
        Print(err, QStringLiteral("zeva: %1\nTry 'zeva --help' for more information.\n").arg(parsed.message));
        return kExitUsage;
    case Parsed::Refused:
        Print(err, QStringLiteral("zeva: %1\n").arg(parsed.message));
        return kExitUsage;
    case Parsed::Run:
        break;
    }
    const Options& options = parsed.options;

    Report report(options, out, err);
    QString error;
    if (!report.OpenCsv(&error)) {
        Print(err, QStringLiteral("zeva: %1\n").arg(error));
        return kExitUsage;
    }

    // A socket a device: the limit on open files must hold them all before
    // anything is sent.
    if (const auto limit = platform::RaiseOpenFileLimit();
        limit && *limit < options.devices.size() + kOtherFiles) {
        Print(err, QStringLiteral("zeva: %1 devices need %2 open files, and the system allows %3; "
                                  "raise the limit (ulimit -n) or poll fewer devices\n")
                       .arg(options.devices.size())
                       .arg(options.devices.size() + kOtherFiles)
                       .arg(*limit));
        return kExitUsage;
    }

    // A device is reached directly, never through a proxy; and without
    // this the first socket waits for a look-up of the system's proxy
    // settings, which would count as the first round trip.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    platform::QtMonotonicClock clock;
    platform::QtTimerSet timers;
    std::vector<client::Request> round;
    round.reserve(options.variables.size());
    for (const Variable& variable : options.variables)
        round.push_back(variable.request);

    std::size_t running = 0;
    const auto finished = [&running] {
        if (--running == 0)
            QCoreApplication::exit(0);
    };
    std::vector<std::unique_ptr<DeviceRun>> devices;
    devices.reserve(options.devices.size());
    for (std::size_t i = 0; i < options.devices.size(); ++i)
        devices.push_back(std::make_unique<DeviceRun>(options, i, report, clock, timers, err, finished));

    // --pcap: written as the run goes, flushed every second and at its end.
    std::optional<Capture> capture;
    QTimer captureFlush;
    if (!options.pcapPath.isEmpty()) {
        capture.emplace(options.pcapPath, err, clock.NowMicros());
        if (!capture->Open(&error)) {
            Print(err, QStringLiteral("zeva: %1\n").arg(error));
            return kExitUsage;
        }
        for (const auto& device : devices)
            device->CaptureTo(*capture);
        QObject::connect(&captureFlush, &QTimer::timeout, [&capture] { capture->Flush(); });
        captureFlush.start(1000);
    }
    std::vector<const client::Engine*> engines;
    engines.reserve(devices.size());
    for (const auto& device : devices)
        engines.push_back(&device->Engine());

    bool interrupted = false;
    const auto signalWatch = platform::MakeSignalWatch();
    if (!signalWatch->Start([&] {
            interrupted = true;
            for (const auto& device : devices)
                device->Engine().Interrupt();
        })) {
        Print(err, QStringLiteral("zeva: cannot catch SIGINT and SIGTERM\n"));
        return kExitTransport;
    }
    // SIGQUIT: the summary so far, and the run goes on.
    const auto reportWatch = platform::MakeReportWatch();
    reportWatch->Start([&] { report.Summary(engines, err); });

    // Each host is looked up once, before anything is timed; every
    // connection made again goes to the same address. One of many devices
    // whose name is not found keeps it, and its connections fail in turn.
    std::map<std::string, std::string> addresses;
    std::vector<client::RunSettings> settings(options.devices.size(), options.run);
    for (std::size_t i = 0; i < options.devices.size(); ++i) {
        const Device& device = options.devices[i];
        auto found = addresses.find(device.host);
        if (found == addresses.end()) {
            std::string lookUpError;
            std::string address = lookUp(device.host, &lookUpError);
            if (address.empty()) {
                PrintTransportFailure(err, options, device, QString::fromStdString(lookUpError));
                if (options.devices.size() == 1) {
                    if (options.summary || options.json)
                        report.Summary(std::vector<const client::Engine*>{&devices.front()->Engine()});
                    report.Flush();
                    return kExitTransport;
                }
                address = device.host;
            }
            found = addresses.emplace(device.host, std::move(address)).first;
        }
        settings[i].host = found->second;
        settings[i].port = device.port;
        settings[i].trace = options.run.trace || capture.has_value();
    }

    report.SetStart(clock.NowMicros());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        ++running;
        devices[i]->Engine().Start(settings[i], round);
    }
    // Engines that ended at once have already counted themselves off.
    if (running > 0)
        QCoreApplication::exec();

    report.Flush();
    if (capture)
        capture->Close();
    int status = kExitOk;
    for (const auto& device : devices) {
        for (std::size_t v = 0; v < device->Engine().Variables(); ++v)
            status = std::max(status, StatusOf(options, device->Engine().Stats(v), device->ending_));
    }
    if (options.summary || options.json || interrupted)
        report.Summary(engines);
    return status;
}

} // namespace cli
