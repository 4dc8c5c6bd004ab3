#include "HttpServer.h"

#include "RequestReader.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

namespace exporter {

namespace {

// At most this much is read from one connection at a time, and held while
// its request is being answered.
constexpr qint64 kChunk = 16 * 1024;

const char* Reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Unknown";
    }
}

} // namespace

struct HttpServer::Connection {
    enum class State { Reading, Handling, Writing, Closing, Closed };

    Connection(std::uint64_t id, QTcpSocket* socket, const HttpLimits& limits)
        : id(id), socket(socket), reader(limits.maxHeaderBytes, limits.maxBodyBytes)
    {
    }

    std::uint64_t id;
    QTcpSocket* socket; // deleted later, when dropped
    RequestReader reader;
    QByteArray in; // read, not yet parsed
    State state = State::Reading;
    std::uint64_t requestId = 0;
    std::string path; // of the request being answered
    bool idle = false;
    std::list<Connection*>::iterator idleAt;
    std::int64_t idleSince = 0;
};

class HttpServer::Listener final : public QTcpServer {
public:
    explicit Listener(HttpServer* server) : QTcpServer(server), server_(server) {}

protected:
    void incomingConnection(qintptr descriptor) override { server_->Accept(descriptor); }

private:
    HttpServer* server_;
};

HttpServer::HttpServer(HttpLimits limits, WebConfigFile& web, Handler handler, Cancel cancel, Answered answered)
    : limits_(limits), web_(web), handler_(std::move(handler)), cancel_(std::move(cancel)),
      answered_(std::move(answered))
{
    clock_.start();
    idleTimer_.setSingleShot(true);
    connect(&idleTimer_, &QTimer::timeout, this, [this] { IdleTimeout(); });
}

HttpServer::~HttpServer()
{
    for (auto& [id, c] : connections_) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c->socket;
    }
}

quint16 HttpServer::Listen(const QHostAddress& address, quint16 port, QString* error)
{
    auto* listener = new Listener(this);
    // Room for a burst of connections: beyond the kernel's queue they are
    // not refused but wait for a retransmission, which a scrape cannot afford.
    listener->setListenBacklogSize(1024);
    if (!listener->listen(address, port)) {
        *error = listener->errorString();
        delete listener;
        return 0;
    }
    listener_ = listener;
    return listener->serverPort();
}

void HttpServer::Accept(qintptr descriptor)
{
    // Full: the connection idle longest makes room. When every one has a
    // request in hand, the new one is turned away.
    if (connections_.size() >= limits_.maxConnections && !idle_.empty())
        Drop(*idle_.front());
    std::string error;
    const auto web = web_.Current(&error);
    QTcpSocket* socket = web && web->tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor) || !web || connections_.size() >= limits_.maxConnections) {
        socket->abort();
        delete socket;
        return;
    }
    auto owned = std::make_unique<Connection>(nextId_++, socket, limits_);
    Connection& c = *owned;
    socket->setReadBufferSize(kChunk);
    const std::uint64_t id = c.id;
    const auto with = [this, id](auto f) {
        return [this, id, f] {
            if (const auto it = connections_.find(id); it != connections_.end())
                f(*it->second);
        };
    };
    connect(socket, &QTcpSocket::readyRead, this, with([this](Connection& c) {
                if (c.state == Connection::State::Reading)
                    Process(c);
                else if (c.state != Connection::State::Closed && c.in.size() < kChunk)
                    c.in += c.socket->read(kChunk - c.in.size()); // held, so that a hang-up is seen
            }));
    connect(socket, &QTcpSocket::bytesWritten, this, with([this](Connection& c) {
                if (c.state == Connection::State::Writing && c.socket->bytesToWrite() == 0)
                    Next(c);
            }));
    connect(socket, &QTcpSocket::disconnected, this, with([this](Connection& c) { Drop(c); }));
    connect(socket, &QTcpSocket::errorOccurred, this, with([this](Connection& c) { Drop(c); }));
    connections_.emplace(id, std::move(owned));
    MakeIdle(c);
    if (auto* ssl = qobject_cast<QSslSocket*>(socket)) {
        ssl->setSslConfiguration(web->ssl);
        ssl->startServerEncryption();
    }
}

void HttpServer::Process(Connection& c)
{
    while (c.state == Connection::State::Reading) {
        if (c.in.isEmpty()) {
            c.in = c.socket->read(kChunk);
            if (c.in.isEmpty())
                return;
        }
        c.in.remove(0, qsizetype(c.reader.Feed(c.in.constData(), std::size_t(c.in.size()))));
        if (c.reader.GetState() == RequestReader::State::Refused) {
            Refuse(c, c.reader.Status(), QByteArray::fromStdString(c.reader.Reason()));
            return;
        }
        if (c.reader.GetState() == RequestReader::State::Complete)
            Dispatch(c);
    }
}

void HttpServer::Dispatch(Connection& c)
{
    c.state = Connection::State::Handling;
    if (c.idle) {
        idle_.erase(c.idleAt);
        c.idle = false;
    }
    // The target as a path, or as an absolute URL.
    std::string_view url = c.reader.Url();
    if (url.starts_with("http://") || url.starts_with("https://")) {
        const std::size_t slash = url.find('/', url.find("//") + 2);
        url = slash == std::string_view::npos ? std::string_view("/") : url.substr(slash);
    }
    url = url.substr(0, url.find('#'));
    const std::size_t question = url.find('?');
    c.path.assign(url.substr(0, question));
    HttpRequest request;
    request.method = c.reader.Method();
    request.path = c.path;
    if (question != std::string_view::npos)
        request.query.assign(url.substr(question + 1));
    request.scrapeTimeout = c.reader.ScrapeTimeout();

    std::string error;
    const auto web = web_.Current(&error);
    if (!web) {
        Write(c, {500, QByteArrayLiteral("text/plain; charset=utf-8"), "the web configuration cannot be used\n", {}}, true);
        return;
    }
    if (!web->users.empty() && c.path != "/-/healthy" && !web->Authorized(c.reader.Authorization())) {
        Write(c, {401, QByteArrayLiteral("text/plain; charset=utf-8"), "a user name and password are needed\n", {}},
              !c.reader.KeepAlive());
        return;
    }
    request.id = nextId_++;
    c.requestId = request.id;
    handling_.emplace(request.id, &c);
    handler_(request);
}

void HttpServer::Respond(std::uint64_t id, const HttpResponse& response)
{
    const auto it = handling_.find(id);
    if (it == handling_.end())
        return;
    Connection& c = *it->second;
    handling_.erase(it);
    c.requestId = 0;
    Write(c, response, !c.reader.KeepAlive());
}

void HttpServer::Write(Connection& c, const HttpResponse& response, bool close)
{
    if (c.state == Connection::State::Closed || c.state == Connection::State::Closing)
        return;
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + Reason(response.status) + "\r\n";
    out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (!response.allow.isEmpty())
        out += "Allow: " + response.allow + "\r\n";
    if (response.status == 401)
        out += "WWW-Authenticate: Basic realm=\"zeva-exporter\", charset=\"UTF-8\"\r\n";
    if (close)
        out += "Connection: close\r\n";
    else if (c.reader.Http10())
        out += "Connection: keep-alive\r\n";
    out += "\r\n";
    if (!c.reader.Head())
        out += response.body;
    answered_(c.path, response.status);
    c.socket->write(out);
    // Into the kernel now: a peer that half-closed after its request is
    // seen as gone at the next read, and what is still buffered then is lost.
    c.socket->flush();
    if (c.state == Connection::State::Closed)
        return; // the write found the peer gone
    MakeIdle(c); // from the answer on; a peer that never reads it is dropped in time
    if (close) {
        c.state = Connection::State::Closing;
        c.socket->disconnectFromHost();
        return;
    }
    c.state = Connection::State::Writing;
    if (c.socket->bytesToWrite() == 0)
        Next(c);
}

void HttpServer::Next(Connection& c)
{
    // The answer is out: the next request is read from the loop, so that a
    // peer's pipelined requests take their turns with everyone else's.
    QMetaObject::invokeMethod(this, [this, id = c.id] {
        const auto it = connections_.find(id);
        if (it == connections_.end() || it->second->state != Connection::State::Writing)
            return;
        Connection& c = *it->second;
        c.state = Connection::State::Reading;
        c.reader.Next();
        c.path.clear();
        MakeIdle(c);
        Process(c);
    }, Qt::QueuedConnection);
}

void HttpServer::Refuse(Connection& c, int status, QByteArray text)
{
    // The rest of the request is not read: the connection closes after the answer.
    c.state = Connection::State::Handling;
    c.in.clear();
    Write(c, {status, QByteArrayLiteral("text/plain; charset=utf-8"), std::move(text), {}}, true);
}

void HttpServer::Drop(Connection& c)
{
    if (c.state == Connection::State::Closed)
        return;
    c.state = Connection::State::Closed;
    if (c.idle) {
        idle_.erase(c.idleAt);
        c.idle = false;
    }
    c.socket->disconnect(this);
    c.socket->abort();
    c.socket->deleteLater();
    const std::uint64_t requestId = std::exchange(c.requestId, 0);
    // Deleted from the loop: a caller up the stack may still hold it.
    auto owned = connections_.extract(c.id);
    QMetaObject::invokeMethod(this, [held = std::shared_ptr<Connection>(std::move(owned.mapped()))] {}, Qt::QueuedConnection);
    if (requestId && handling_.erase(requestId))
        cancel_(requestId);
}

void HttpServer::MakeIdle(Connection& c)
{
    if (c.idle)
        idle_.erase(c.idleAt);
    c.idleSince = clock_.elapsed();
    c.idleAt = idle_.insert(idle_.end(), &c);
    c.idle = true;
    if (!idleTimer_.isActive())
        ArmIdleTimer();
}

void HttpServer::ArmIdleTimer()
{
    if (idle_.empty()) {
        idleTimer_.stop();
        return;
    }
    const std::int64_t due = idle_.front()->idleSince + limits_.idleMs - clock_.elapsed();
    idleTimer_.start(int(std::clamp<std::int64_t>(due, 0, limits_.idleMs)) + 1);
}

void HttpServer::IdleTimeout()
{
    const std::int64_t now = clock_.elapsed();
    while (!idle_.empty() && idle_.front()->idleSince + limits_.idleMs <= now)
        Drop(*idle_.front());
    ArmIdleTimer();
}

} // namespace exporter
