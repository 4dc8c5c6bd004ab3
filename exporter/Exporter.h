#pragma once

#include "Config.h"
#include "HttpServer.h"
#include "Log.h"
#include "WebConfig.h"

#include <QtMonotonicClock.h>
#include <QtIoFactory.h>

#include <QHostAddress>
#include <QObject>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
template <typename T>
class Family;
} // namespace prometheus

namespace exporter {

// At most this many probes run at once; a probe asked for beyond that is
// answered 503 at once. Each holds a socket to its device.
inline constexpr std::size_t kMaxProbes = 1000;

// How the exporter meets the network, from the command line.
struct WebOptions {
    HttpLimits limits;
    std::int64_t timeoutOffsetUs = 500'000; // taken off a scraper's timeout for the answer's way back
    std::string configFile;                 // the web configuration; empty: plain HTTP, no passwords
};

// The HTTP side of zeva-exporter: /probe, /metrics, /, /-/healthy and
// /-/reload, served from the event loop. A probe runs while the loop serves
// other requests; its answer is written when it is over, and a probe whose
// scraper hung up is ended at once.
class Exporter final {
public:
    Exporter(std::string configPath, const Log& log, WebOptions web = {});
    ~Exporter();
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;

    // Reads the configuration file again: a good one replaces the one in
    // force, which probes already running keep until they end; a bad one is
    // refused and logged, and the old one stays. False with the error.
    bool Reload(std::string* error = nullptr);
    bool HasConfig() const { return config_ != nullptr; }

    // The port listened on, 0 when the address cannot be had (`error` says why).
    quint16 Listen(const QHostAddress& address, quint16 port, QString* error);

    // The text /metrics serves.
    std::string OwnMetrics();

private:
    struct Pending;

    void Handle(const HttpRequest& request);
    void HandleProbe(const HttpRequest& request);
    void ProbeDone(std::uint64_t id);
    void Cancel(std::uint64_t id);
    void Count(std::string_view path, int status);
    QByteArray IndexPage() const;

    std::string configPath_;
    const Log& log_;
    std::shared_ptr<const Config> config_;
    std::int64_t timeoutOffsetUs_;

    QObject context_; // queued work dies with the exporter
    WebConfigFile web_;
    HttpServer http_;
    platform::QtMonotonicClock clock_;
    platform::QtIoFactory io_;
    std::uint64_t nextId_ = 1;
    std::unordered_map<std::uint64_t, std::unique_ptr<Pending>> probes_;

    // The exporter's own metrics.
    std::shared_ptr<prometheus::Registry> registry_;
    prometheus::Family<prometheus::Counter>* probesTotal_ = nullptr;
    prometheus::Family<prometheus::Counter>* requestsTotal_ = nullptr;
    std::map<std::pair<std::string_view, int>, prometheus::Counter*> requests_;
    prometheus::Histogram* probeDuration_ = nullptr;
    prometheus::Gauge* reloadSuccessful_ = nullptr;
    prometheus::Gauge* reloadTime_ = nullptr;
    prometheus::Gauge* resident_ = nullptr;
    prometheus::Gauge* virtual_ = nullptr;
    prometheus::Gauge* openFds_ = nullptr;
    prometheus::Gauge* maxFds_ = nullptr;
    prometheus::Counter* cpu_ = nullptr;
    double cpuCounted_ = 0;
};

// ADDR:PORT, :PORT (every address) or [IPv6]:PORT; false when it is none.
bool ParseListenAddress(const QString& text, QHostAddress* address, quint16* port);

} // namespace exporter
