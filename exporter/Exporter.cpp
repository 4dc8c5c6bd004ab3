#include "Exporter.h"

#include "Probe.h"

#include <ProcessStats.h>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <QUrlQuery>

#include <chrono>
#include <cmath>

namespace exporter {

namespace {

// No answer repeats more of a bad request's text than this.
constexpr std::size_t kEchoBytes = 200;

const QByteArray kExposition = QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");
const QByteArray kText = QByteArrayLiteral("text/plain; charset=utf-8");

// The paths served, and the methods each takes.
struct Route {
    std::string_view path;
    const char* methods;
};
constexpr Route kRoutes[] = {
    {"/probe", "GET, HEAD"}, {"/metrics", "GET, HEAD"}, {"/", "GET, HEAD"}, {"/-/healthy", "GET, HEAD"}, {"/-/reload", "POST"},
};
constexpr std::string_view kOtherPath = "other";

const Route* RouteOf(std::string_view path)
{
    for (const Route& r : kRoutes) {
        if (r.path == path)
            return &r;
    }
    return nullptr;
}

// At most kEchoBytes of a peer's text, cut at a character, never in one.
std::string Echo(std::string_view text)
{
    if (text.size() <= kEchoBytes)
        return std::string(text);
    std::size_t cut = kEchoBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(text.substr(0, cut)) + "...";
}

HttpResponse Text(int status, const std::string& text)
{
    return {status, kText, QByteArray::fromStdString(text), {}};
}

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

// A probe waiting for its device; its scraper's request has the same id.
struct Exporter::Pending {
    std::string module;
    std::string target;
    std::unique_ptr<Probe> probe;
    bool done = false;
};

Exporter::Exporter(std::string configPath, const Log& log, WebOptions web)
    : configPath_(std::move(configPath)), log_(log), timeoutOffsetUs_(web.timeoutOffsetUs),
      web_(std::move(web.configFile)),
      http_(web.limits, web_, [this](const HttpRequest& r) { Handle(r); }, [this](std::uint64_t id) { Cancel(id); },
            [this](std::string_view path, int status) { Count(path, status); }),
      registry_(std::make_shared<prometheus::Registry>())
{
    using namespace prometheus;
    requestsTotal_ = &BuildCounter()
                          .Name("zeva_exporter_http_requests_total")
                          .Help("HTTP requests answered, by handler (the path, or other) and status code")
                          .Register(*registry_);
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
    return http_.Listen(address, port, error);
}

void Exporter::Count(std::string_view path, int status)
{
    const Route* route = RouteOf(path);
    const std::pair<std::string_view, int> key{route ? route->path : kOtherPath, status};
    auto found = requests_.find(key);
    if (found == requests_.end()) {
        prometheus::Counter& counter
            = requestsTotal_->Add({{"handler", std::string(key.first)}, {"code", std::to_string(status)}});
        found = requests_.emplace(key, &counter).first;
    }
    found->second->Increment();
}

void Exporter::Handle(const HttpRequest& request)
{
    const Route* route = RouteOf(request.path);
    if (!route) {
        http_.Respond(request.id, Text(404, "not found\n"));
        return;
    }
    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool allowed = route->path == "/-/reload" ? request.method == "POST" : get;
    if (!allowed) {
        HttpResponse response = Text(405, request.method + " is not taken here; use " + route->methods + "\n");
        response.allow = route->methods;
        http_.Respond(request.id, response);
        return;
    }
    if (route->path == "/probe") {
        HandleProbe(request);
    } else if (route->path == "/metrics") {
        http_.Respond(request.id, {200, kExposition, QByteArray::fromStdString(OwnMetrics()), {}});
    } else if (route->path == "/") {
        http_.Respond(request.id, {200, QByteArrayLiteral("text/html; charset=utf-8"), IndexPage(), {}});
    } else if (route->path == "/-/healthy") {
        http_.Respond(request.id, Text(200, "Healthy\n"));
    } else {
        std::string error;
        http_.Respond(request.id, Reload(&error) ? Text(200, "configuration reloaded\n") : Text(500, error + "\n"));
    }
}

void Exporter::HandleProbe(const HttpRequest& request)
{
    const QUrlQuery query(QString::fromUtf8(request.query.data(), qsizetype(request.query.size())));
    const std::string moduleName = query.hasQueryItem(QStringLiteral("module"))
        ? query.queryItemValue(QStringLiteral("module"), QUrl::FullyDecoded).toStdString()
        : std::string("default");
    const auto refuse = [&](int status, const std::string& text) {
        log_.Write(LogLevel::Debug, "probe refused", Log::Pair("status", std::to_string(status)) + Log::Pair("err", text));
        http_.Respond(request.id, Text(status, text + "\n"));
    };
    if (!config_) {
        refuse(503, "no configuration");
        return;
    }
    const auto module = config_->modules.find(moduleName);
    if (module == config_->modules.end()) {
        refuse(400, "unknown module \"" + Echo(moduleName) + "\"");
        return;
    }
    if (!query.hasQueryItem(QStringLiteral("target"))) {
        refuse(400, "target parameter is missing");
        return;
    }
    const std::string targetText = query.queryItemValue(QStringLiteral("target"), QUrl::FullyDecoded).toStdString();
    Target target;
    std::string error;
    if (!ParseTarget(targetText, module->second.port, &target, &error)) {
        refuse(400, "bad target \"" + Echo(targetText) + "\": " + error);
        return;
    }
    if (!config_->Allows(target.host)) {
        refuse(403, "target \"" + Echo(targetText) + "\" is not allowed");
        return;
    }
    if (probes_.size() >= kMaxProbes) {
        refuse(503, "too many probes at once");
        return;
    }

    const std::uint64_t id = request.id;
    auto pending = std::make_unique<Pending>();
    pending->module = moduleName;
    pending->target = targetText;
    const std::int64_t deadline = ProbeDeadlineUs(request.scrapeTimeout, timeoutOffsetUs_, module->second.probeTimeoutUs);
    pending->probe = std::make_unique<Probe>(config_, module->second, target, deadline, io_, clock_,
                                             [this, id](Probe&) { ProbeDone(id); });
    Probe& probe = *pending->probe;
    probes_.emplace(id, std::move(pending));
    probe.Start();
}

void Exporter::ProbeDone(std::uint64_t id)
{
    const auto found = probes_.find(id);
    if (found == probes_.end() || found->second->done)
        return;
    Pending& p = *found->second;
    p.done = true;
    const bool success = p.probe->Success();
    probesTotal_->Add({{"module", p.module}, {"result", success ? "success" : "failure"}}).Increment();
    probeDuration_->Observe(p.probe->DurationSeconds());
    if (log_.Enabled(LogLevel::Debug)) {
        log_.Write(LogLevel::Debug, success ? "probe succeeded" : "probe failed",
                   Log::Pair("target", p.target) + Log::Pair("module", p.module)
                       + Log::Pair("duration_seconds", std::to_string(p.probe->DurationSeconds()))
                       + (success ? std::string() : Log::Pair("err", p.probe->Failure())));
    }
    http_.Respond(id, {200, kExposition, QByteArray::fromStdString(p.probe->Metrics()), {}});
    // The probe's engine is still on the stack: it goes once this event is over.
    QMetaObject::invokeMethod(&context_, [this, id] { probes_.erase(id); }, Qt::QueuedConnection);
}

void Exporter::Cancel(std::uint64_t id)
{
    // The scraper hung up: the probe ends now, its device connection with it.
    const auto found = probes_.find(id);
    if (found == probes_.end() || found->second->done)
        return;
    log_.Write(LogLevel::Debug, "probe cancelled: the scraper hung up",
               Log::Pair("target", found->second->target) + Log::Pair("module", found->second->module));
    probesTotal_->Add({{"module", found->second->module}, {"result", "failure"}}).Increment();
    probes_.erase(found);
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
          "<li><a href=\"-/healthy\">/-/healthy</a>: whether the exporter runs</li>\n"
          "<li>POST /-/reload: read the configuration again</li>\n</ul>\n"
          "<h2>Modules</h2>\n<ul>\n"
        + modules + "</ul>\n<p>" + QByteArray("zeva-exporter ") + ZEVA_VERSION + "</p>\n</body></html>\n";
}

bool ParseListenAddress(const QString& text, QHostAddress* address, quint16* port)
{
    std::string error;
    const auto parsed = client::ParseHostPort(
        text.toStdString(),
        {.port = std::nullopt, .lowestPort = 0, .portZeros = modZeva::LeadingZeros::Allowed, .anyHost = true}, &error);
    // A listener takes an address, or localhost, never a name to look up.
    if (!parsed || (!parsed->host.address && !parsed->hostText.empty() && parsed->host.name != "localhost"))
        return false;
    if (parsed->host.address)
        address->setAddress(QString::fromStdString(parsed->host.address->ToString()));
    else
        *address = parsed->hostText.empty() ? QHostAddress::Any : QHostAddress::LocalHost;
    *port = parsed->port;
    return true;
}

} // namespace exporter
