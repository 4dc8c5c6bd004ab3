#pragma once

#include "WebConfig.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

class QTcpServer;

namespace exporter {

// What one peer may hold of the server.
struct HttpLimits {
    std::size_t maxHeaderBytes = 8 * 1024;  // the request line and headers
    std::size_t maxBodyBytes = 64 * 1024;
    std::int64_t idleMs = 10'000;           // to send a whole request, from the connection or the last answer
    std::size_t maxConnections = 2000;
};

struct HttpRequest {
    std::uint64_t id = 0; // for Respond
    std::string method;   // GET, HEAD, POST, ...
    std::string path;     // before any '?', not decoded
    std::string query;    // after the '?', not decoded
    std::string scrapeTimeout; // X-Prometheus-Scrape-Timeout-Seconds
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType = QByteArrayLiteral("text/plain; charset=utf-8");
    QByteArray body;
    QByteArray allow; // the methods, with a 405
};

// HTTP/1.1 on QTcpServer, one request at a time per connection, with every
// bound a peer must not pass: request line and headers (414, 431), body
// (413), the time to send a whole request, the connections open (the one
// idle longest is closed for a new one). Requests are parsed by Debian's
// http-parser. With a web configuration it asks for TLS and passwords.
// Everything happens on the event loop of the thread that made it.
class HttpServer final : public QObject {
public:
    // Called for each request that passed the front door; the answer comes
    // through Respond, at once or later.
    using Handler = std::function<void(const HttpRequest&)>;
    // The peer of request `id` has gone: nobody waits for its answer.
    using Cancel = std::function<void(std::uint64_t id)>;
    // Each answer written: the name its path is counted under, and its status.
    using Answered = std::function<void(std::string_view path, int status)>;

    HttpServer(HttpLimits limits, WebConfigFile& web, Handler handler, Cancel cancel, Answered answered);
    ~HttpServer() override;

    // The port listened on, 0 when the address cannot be had (`error` says why).
    quint16 Listen(const QHostAddress& address, quint16 port, QString* error);
    // Answers request `id`; nothing when its peer is gone.
    void Respond(std::uint64_t id, const HttpResponse& response);

    std::size_t Connections() const { return connections_.size(); }

private:
    struct Connection;
    class Listener;

    void Accept(qintptr descriptor);
    void Process(Connection& c);
    void Dispatch(Connection& c);
    void Write(Connection& c, const HttpResponse& response, bool close);
    void Next(Connection& c);
    void Refuse(Connection& c, int status, QByteArray text);
    void Drop(Connection& c);
    void MakeIdle(Connection& c);
    void ArmIdleTimer();
    void IdleTimeout();

    HttpLimits limits_;
    WebConfigFile& web_;
    Handler handler_;
    Cancel cancel_;
    Answered answered_;
    Listener* listener_ = nullptr;
    QElapsedTimer clock_;
    QTimer idleTimer_;
    std::uint64_t nextId_ = 1;
    std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections_;
    std::unordered_map<std::uint64_t, Connection*> handling_; // by request id
    std::list<Connection*> idle_; // no request being handled, the longest idle first
};

} // namespace exporter
