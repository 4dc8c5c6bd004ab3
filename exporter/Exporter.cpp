#include "Exporter.h"

#include "Probe.h"

#include <ProcessStats.h>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

#include <chrono>
#include <cmath>

namespace exporter {

namespace {

constexpr std::int64_t kDefaultDeadlineUs = 10'000'000;
constexpr std::int64_t kMaxDeadlineUs = 600'000'000;
constexpr double kOffsetSeconds = 0.5;

const QByteArray kExposition = QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");
const QByteArray kText = QByteArrayLiteral("text/plain; charset=utf-8");

using Status = QHttpServerResponder::StatusCode;

QByteArray Html(const std::string& text)
{
    return QString::fromStdString(text).toHtmlEscaped().toUtf8();
}

double UnixNow()
{
    using namespace std::chrono;
    return double(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) / 1e3;
}

} // namespace

// A probe waiting for its device, and the scraper waiting for it. Qt 6.4's
// responder holds the connection's socket as a plain pointer, and the socket
// is deleted when the scraper hangs up: it is written to only while the
// guard says the socket is still there and connected.
struct Exporter::Pending {
    explicit Pending(QHttpServerResponder&& r) : responder(std::move(r)), socket(responder.socket()) {}
    QHttpServerResponder responder;
    QPointer<QTcpSocket> socket;
    std::string module;
    std::string target;
    std::unique_ptr<Probe> probe;
};

// Accepts connections up to kMaxConnections open at once, and closes the
// ones beyond, so that what a peer opens cannot grow without bound.
class Exporter::LimitedServer final : public QTcpServer {
public:
    explicit LimitedServer(QObject* parent) : QTcpServer(parent) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor) || open_ >= kMaxConnections) {
            socket->abort();
            delete socket;
            return;
        }
        ++open_;
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        addPendingConnection(socket);
    }

private:
    int open_ = 0;
};

Exporter::Exporter(std::string configPath, const Log& log)
    : configPath_(std::move(configPath)), log_(log), registry_(std::make_shared<prometheus::Registry>())
{
    using namespace prometheus;
    probesTotal_ = &BuildCounter()
                        .Name("zeva_exporter_probes_total")
                        .Help("Probes made, by module and result (success or failure)")
                        .Register(*registry_);
    probeDuration_ = &BuildHistogram()
                          .Name("zeva_exporter_probe_duration_seconds")
                          .Help("How long probes took")
                          .Register(*registry_)
                          .Add({}, Histogram::BucketBoundaries{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                               0.25, 0.5, 1, 2.5, 5, 10});
    reloadSuccessful_ = &BuildGauge()
                             .Name("zeva_exporter_config_last_reload_successful")
                             .Help("Whether the last reading of the configuration succeeded")
                             .Register(*registry_)
                             .Add({});
    reloadTime_ = &BuildGauge()
                       .Name("zeva_exporter_config_last_reload_success_timestamp_seconds")
                       .Help("When the configuration was last read successfully, in seconds since the epoch")
                       .Register(*registry_)
                       .Add({});
    BuildGauge()
        .Name("zeva_exporter_build_info")
        .Help("The exporter's version, as a label")
        .Register(*registry_)
        .Add({{"version", ZEVA_VERSION}})
        .Set(1);
    cpu_ = &BuildCounter()
                .Name("process_cpu_seconds_total")
                .Help("Total user and system CPU time spent in seconds")
                .Register(*registry_)
                .Add({});
    const platform::ProcessStats stats = platform::ReadProcessStats();
    if (stats.residentBytes) {
        resident_ = &BuildGauge().Name("process_resident_memory_bytes").Help("Resident memory size in bytes").Register(*registry_).Add({});
        virtual_ = &BuildGauge().Name("process_virtual_memory_bytes").Help("Virtual memory size in bytes").Register(*registry_).Add({});
    }
    if (stats.openFiles)
        openFds_ = &BuildGauge().Name("process_open_fds").Help("Number of open file descriptors").Register(*registry_).Add({});
    if (stats.maxFiles)
        maxFds_ = &BuildGauge().Name("process_max_fds").Help("Maximum number of open file descriptors").Register(*registry_).Add({});
    BuildGauge()
        .Name("process_start_time_seconds")
        .Help("Start time of the process since unix epoch in seconds")
        .Register(*registry_)
        .Add({})
        .Set(std::floor(UnixNow()));
    Route();
}

Exporter::~Exporter() = default;

bool Exporter::Reload(std::string* error)
{
    Loaded loaded = LoadConfig(configPath_);
    if (!loaded.config) {
        reloadSuccessful_->Set(0);
        log_.Write(LogLevel::Error, "the configuration was refused; the one in force stays",
                   Log::Pair("file", configPath_) + Log::Pair("err", loaded.error));
        if (error)
            *error = loaded.error;
        return false;
    }
    config_ = std::move(loaded.config);
    reloadSuccessful_->Set(1);
    reloadTime_->Set(std::floor(UnixNow()));
    log_.Write(LogLevel::Info, "configuration loaded",
               Log::Pair("file", configPath_) + Log::Pair("modules", std::to_string(config_->modules.size())));
    return true;
}

quint16 Exporter::Listen(const QHostAddress& address, quint16 port, QString* error)
{
    auto* server = new LimitedServer(&http_);
    if (!server->listen(address, port)) {
        *error = server->errorString();
        delete server;
        return 0;
    }
    http_.bind(server);
    return server->serverPort();
}

void Exporter::Route()
{
    using Method = QHttpServerRequest::Method;
    http_.route("/probe", Method::Get, [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
        HandleProbe(request, std::move(responder));
    });
    http_.route("/metrics", Method::Get, [this](QHttpServerResponder&& responder) {
        responder.write(QByteArray::fromStdString(OwnMetrics()), kExposition);
    });
    http_.route("/", Method::Get, [this](QHttpServerResponder&& responder) {
        responder.write(IndexPage(), QByteArrayLiteral("text/html; charset=utf-8"));
    });
    http_.route("/-/reload", Method::Get | Method::Post,
                [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                    if (request.method() != Method::Post) {
                        responder.write(QByteArrayLiteral("use POST to reload the configuration\n"),
                                        {{"Content-Type", kText}, {"Allow", "POST"}}, Status::MethodNotAllowed);
                        return;
                    }
                    std::string error;
                    if (Reload(&error))
                        responder.write(QByteArrayLiteral("configuration reloaded\n"), kText);
                    else
                        responder.write(QByteArray::fromStdString(error + "\n"), kText, Status::InternalServerError);
                });
    // Any other path, or a method a path does not take.
    http_.setMissingHandler([](const QHttpServerRequest&, QHttpServerResponder&& responder) {
        responder.write(QByteArrayLiteral("not found\n"), kText, Status::NotFound);
    });
}

std::int64_t Exporter::DeadlineUs(const QHttpServerRequest& request)
{
    const QByteArray header = request.value("X-Prometheus-Scrape-Timeout-Seconds").trimmed();
    bool ok = false;
    const double seconds = header.toDouble(&ok);
    if (header.isEmpty() || !ok || !std::isfinite(seconds) || seconds <= 0)
        return kDefaultDeadlineUs;
    // Half a second for the answer to reach Prometheus; a scrape timeout
    // shorter than a second keeps half of it for that.
    const double probe = seconds - std::min(kOffsetSeconds, seconds / 2);
    return std::min<std::int64_t>(kMaxDeadlineUs, std::max<std::int64_t>(1, std::llround(probe * 1e6)));
}

void Exporter::HandleProbe(const QHttpServerRequest& request, QHttpServerResponder&& responder)
{
    const QUrlQuery query = request.query();
    const std::string moduleName = query.hasQueryItem(QStringLiteral("module"))
        ? query.queryItemValue(QStringLiteral("module"), QUrl::FullyDecoded).toStdString()
        : std::string("default");
    const auto refuse = [&](Status status, const std::string& text) {
        log_.Write(LogLevel::Debug, "probe refused", Log::Pair("status", std::to_string(int(status))) + Log::Pair("err", text));
        responder.write(QByteArray::fromStdString(text + "\n"), kText, status);
    };
    if (!config_) {
        refuse(Status::ServiceUnavailable, "no configuration");
        return;
    }
    const auto module = config_->modules.find(moduleName);
    if (module == config_->modules.end()) {
        refuse(Status::BadRequest, "unknown module \"" + moduleName + "\"");
        return;
    }
    const QString targetText = query.queryItemValue(QStringLiteral("target"), QUrl::FullyDecoded);
    if (targetText.isEmpty()) {
        refuse(Status::BadRequest, "target parameter is missing");
        return;
    }
    Target target;
    std::string error;
    if (!ParseTarget(targetText.toStdString(), module->second.port, &target, &error)) {
        refuse(Status::BadRequest, "bad target \"" + targetText.toStdString() + "\": " + error);
        return;
    }
    if (!config_->Allows(target.host)) {
        refuse(Status::Forbidden, "target \"" + targetText.toStdString() + "\" is not allowed");
        return;
    }
    if (probes_.size() >= kMaxProbes) {
        refuse(Status::ServiceUnavailable, "too many probes at once");
        return;
    }

    const std::uint64_t id = nextId_++;
    auto pending = std::make_unique<Pending>(std::move(responder));
    pending->module = moduleName;
    pending->target = targetText.toStdString();
    pending->probe = std::make_unique<Probe>(config_, module->second, target, DeadlineUs(request), timers_, clock_,
                                             [this, id](Probe&) { ProbeDone(id); });
    Probe& probe = *pending->probe;
    probes_.emplace(id, std::move(pending));
    probe.Start();
}

void Exporter::ProbeDone(std::uint64_t id)
{
    const auto found = probes_.find(id);
    if (found == probes_.end())
        return;
    Pending& p = *found->second;
    const bool success = p.probe->Success();
    probesTotal_->Add({{"module", p.module}, {"result", success ? "success" : "failure"}}).Increment();
    probeDuration_->Observe(p.probe->DurationSeconds());
    if (log_.Enabled(LogLevel::Debug)) {
        log_.Write(LogLevel::Debug, success ? "probe succeeded" : "probe failed",
                   Log::Pair("target", p.target) + Log::Pair("module", p.module)
                       + Log::Pair("duration_seconds", std::to_string(p.probe->DurationSeconds()))
                       + (success ? std::string() : Log::Pair("err", p.probe->Failure())));
    }
    if (p.socket && p.socket->state() == QAbstractSocket::ConnectedState)
        p.responder.write(QByteArray::fromStdString(p.probe->Metrics()), kExposition);
    // The probe's engine is still on the stack: it goes once this event is over.
    QMetaObject::invokeMethod(&context_, [this, id] { probes_.erase(id); }, Qt::QueuedConnection);
}

std::string Exporter::OwnMetrics()
{
    const platform::ProcessStats stats = platform::ReadProcessStats();
    if (stats.cpuSeconds > cpuCounted_) {
        cpu_->Increment(stats.cpuSeconds - cpuCounted_);
        cpuCounted_ = stats.cpuSeconds;
    }
    if (resident_ && stats.residentBytes) {
        resident_->Set(*stats.residentBytes);
        virtual_->Set(stats.virtualBytes.value_or(0));
    }
    if (openFds_ && stats.openFiles)
        openFds_->Set(*stats.openFiles);
    if (maxFds_ && stats.maxFiles)
        maxFds_->Set(*stats.maxFiles);
    return prometheus::TextSerializer().Serialize(registry_->Collect());
}

QByteArray Exporter::IndexPage() const
{
    QByteArray modules;
    std::string first = "default";
    if (config_) {
        for (const auto& [name, module] : config_->modules) {
            modules += "<li>" + Html(name) + " (" + (module.protocol == platform::Protocol::Udp ? "udp" : "tcp") + ", "
                + QByteArray::number(qulonglong(module.variables.size())) + " variables"
                + (module.status ? ", status" : "") + ")</li>\n";
        }
        if (!config_->modules.empty() && !config_->modules.count(first))
            first = config_->modules.begin()->first;
    }
    const QByteArray example = "/probe?target=127.0.0.1:2004&amp;module="
        + QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(first))).toHtmlEscaped().toUtf8();
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Zeva Exporter</title></head>\n"
           "<body>\n<h1>Zeva Exporter</h1>\n"
           "<p>Reads PLC variables of a device on each probe and answers with their values and round trips.</p>\n"
           "<ul>\n<li><a href=\""
        + example + "\">" + example
        + "</a>: probe a device</li>\n"
          "<li><a href=\"metrics\">/metrics</a>: the exporter's own metrics</li>\n"
          "<li>POST /-/reload: read the configuration again</li>\n</ul>\n"
          "<h2>Modules</h2>\n<ul>\n"
        + modules + "</ul>\n<p>" + QByteArray("zeva-exporter ") + ZEVA_VERSION + "</p>\n</body></html>\n";
}

bool ParseListenAddress(const QString& text, QHostAddress* address, quint16* port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return false;
    QString host = text.left(colon);
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok, 10);
    if (!ok || p > 65535)
        return false;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return false;
    if (host.isEmpty())
        *address = QHostAddress::Any;
    else if (host == QLatin1String("localhost"))
        *address = QHostAddress::LocalHost;
    else if (!address->setAddress(host))
        return false;
    *port = quint16(p);
    return true;
}

} // namespace exporter
