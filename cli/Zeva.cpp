#include "Zeva.h"

#include "Report.h"

#include <QtMonotonicClock.h>
#include <QtSocket.h>
#include <QtTimer.h>
#include <SignalWatch.h>

#include <QCoreApplication>
#include <QNetworkProxy>

#include <algorithm>
#include <functional>

namespace cli {

namespace {

void Print(std::FILE* f, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), f);
    std::fflush(f);
}

// Runs the engine and passes what it reports to the printing.
class Session final : public client::IEngineEvents {
public:
    Session(const Options& options, Report& report, platform::IMonotonicClock& clock, std::FILE* err)
        : options_(options), report_(report), clock_(clock), err_(err)
    {
    }

    void Engine_Exchange(const client::ExchangeReport& r) override { report_.Exchange(r, clock_.NowMicros()); }
    void Engine_Frame(bool sent, std::span<const std::uint8_t> frame, std::int64_t micros) override
    {
        report_.Frame(sent, frame, micros);
    }
    void Engine_Finished(client::Ending ending, std::string_view reason) override
    {
        ending_ = ending;
        if (ending == client::Ending::TransportFailure) {
            Print(err_, QStringLiteral("zeva: %1 %2 port %3: %4\n")
                            .arg(QString::fromStdString(options_.run.host),
                                 options_.run.protocol == platform::Protocol::Udp ? QStringLiteral("udp")
                                                                                  : QStringLiteral("tcp"))
                            .arg(options_.run.port)
                            .arg(QString::fromUtf8(reason.data(), qsizetype(reason.size()))));
        }
        QCoreApplication::exit(0);
    }

    client::Ending ending_ = client::Ending::Done;

private:
    const Options& options_;
    Report& report_;
    platform::IMonotonicClock& clock_;
    std::FILE* err_;
};

} // namespace

int StatusOf(const Options& options, const client::RunStatistics& s, client::Ending ending)
{
    int status = kExitOk;
    if (s.deviceErrors > 0 || s.malformed > 0)
        status = kExitDeviceError;
    if (ending == client::Ending::TransportFailure || s.answered == 0)
        status = kExitTransport;
    const bool slow = options.maxRttMs && s.RttCount() > 0
        && static_cast<double>(s.maxMicros) > *options.maxRttMs * 1000.0;
    const bool lossy = options.maxLossPercent && s.LossPercent() > *options.maxLossPercent;
    if (slow || lossy)
        status = kExitThreshold;
    return status;
}

int Run(const QStringList& args, std::FILE* out, std::FILE* err)
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

    // A device is reached directly, never through a proxy; and without
    // this the first socket waits for a look-up of the system's proxy
    // settings, which would count as the first round trip.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    platform::QtSocket socket;
    platform::QtTimer timer;
    platform::QtMonotonicClock clock;
    Session session(options, report, clock, err);
    client::Engine engine(socket, timer, clock, session);

    const auto signalWatch = platform::MakeSignalWatch();
    if (!signalWatch->Start([&engine] { engine.Interrupt(); })) {
        Print(err, QStringLiteral("zeva: cannot catch SIGINT and SIGTERM\n"));
        return kExitTransport;
    }

    report.SetStart(clock.NowMicros());
    engine.Start(options.run, options.request);
    if (!engine.Finished())
        QCoreApplication::exec();

    report.Flush();
    const bool interrupted = session.ending_ == client::Ending::Interrupted;
    if (options.summary || options.json || interrupted)
        report.Summary(engine.Stats());
    return StatusOf(options, engine.Stats(), session.ending_);
}

} // namespace cli
