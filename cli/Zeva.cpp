#include "Zeva.h"

#include "Capture.h"
#include "Report.h"

#include <Fleet.h>

#include <QtMonotonicClock.h>
#include <QtIoFactory.h>
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

// What the devices report, to the printing with the device's number, and
// to the capture; the run is over with the last device.
class Printing final : public client::IFleetEvents {
public:
    Printing(const Options& options, Report& report, platform::IMonotonicClock& clock, std::FILE* err)
        : options_(options), report_(report), clock_(clock), err_(err)
    {
    }

    void CaptureTo(Capture& capture, const client::Fleet& fleet)
    {
        captures_.reserve(fleet.Size());
        for (std::size_t i = 0; i < fleet.Size(); ++i)
            captures_.emplace_back(capture, fleet.SocketOf(i));
    }

    void Fleet_Exchange(std::size_t device, const client::ExchangeReport& r) override
    {
        if (!captures_.empty())
            captures_[device].Settle();
        report_.Exchange(device, r, clock_.NowMicros());
    }
    void Fleet_Frame(std::size_t device, bool sent, std::span<const std::uint8_t> frame, std::int64_t micros,
                     std::size_t variable) override
    {
        // The engine reports frames for the capture as well as the trace.
        if (options_.run.trace)
            report_.Frame(device, variable, sent, frame, micros);
        if (!captures_.empty())
            captures_[device].Frame(sent, frame, micros);
    }
    void Fleet_Finished(std::size_t device, client::Ending ending, std::string_view reason) override
    {
        if (!captures_.empty())
            captures_[device].Settle();
        if (ending == client::Ending::TransportFailure)
            PrintTransportFailure(err_, options_, options_.devices[device],
                                  QString::fromUtf8(reason.data(), qsizetype(reason.size())));
    }
    void Fleet_AllEnded() override { QCoreApplication::exit(0); }

private:
    const Options& options_;
    Report& report_;
    platform::IMonotonicClock& clock_;
    std::FILE* err_;
    std::vector<DeviceCapture> captures_; // one a device with --pcap
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
    platform::QtIoFactory io;
    std::vector<client::Request> round;
    round.reserve(options.variables.size());
    for (const Variable& variable : options.variables)
        round.push_back(variable.request);

    Printing printing(options, report, clock, err);
    client::Fleet fleet(options.devices.size(), io, clock, printing);

    // --pcap: written as the run goes, flushed every second and at its end.
    std::optional<Capture> capture;
    QTimer captureFlush;
    if (!options.pcapPath.isEmpty()) {
        capture.emplace(options.pcapPath, err, clock.NowMicros());
        if (!capture->Open(&error)) {
            Print(err, QStringLiteral("zeva: %1\n").arg(error));
            return kExitUsage;
        }
        printing.CaptureTo(*capture, fleet);
        QObject::connect(&captureFlush, &QTimer::timeout, [&capture] { capture->Flush(); });
        captureFlush.start(1000);
    }
    const std::vector<const client::Engine*> engines = fleet.Engines();

    bool interrupted = false;
    const auto signalWatch = platform::MakeSignalWatch();
    if (!signalWatch->Start([&] {
            interrupted = true;
            fleet.InterruptAll();
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
                        report.Summary(engines);
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
    for (std::size_t i = 0; i < fleet.Size(); ++i)
        fleet.Start(i, settings[i], round);
    // Devices that ended at once are no longer running.
    if (fleet.Running() > 0)
        QCoreApplication::exec();

    report.Flush();
    if (capture)
        capture->Close();
    int status = kExitOk;
    for (std::size_t i = 0; i < fleet.Size(); ++i) {
        for (std::size_t v = 0; v < engines[i]->Variables(); ++v)
            status = std::max(status, StatusOf(options, engines[i]->Stats(v), fleet.EndingOf(i)));
    }
    if (options.summary || options.json || interrupted)
        report.Summary(engines);
    return status;
}

} // namespace cli
