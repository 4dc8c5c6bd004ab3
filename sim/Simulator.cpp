#include "Simulator.h"

#include "Outbox.h"

#include <HexText.h>
#include <Wire.h>

#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr int kUdpWaitingMax = 1024; // requests waiting over all UDP senders
constexpr int kSweepMs = 250;
constexpr int kAcceptBatch = 16;     // connections accepted each time a listener is ready

// What a UDP answer held for the delay fault counts against the bounds: its
// size, and never less than a header, so that answers the truncate fault
// emptied are bounded in number too.
qint64 delayCost(const QByteArray& answer)
{
    return std::max<qint64>(answer.size(), qint64(modZeva::kHeaderSize));
}

QString hex(const QByteArray& bytes)
{
    return QString::fromStdString(modZeva::BytesToHex(
        {reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())}, ' '));
}

QString peerName(const QHostAddress& address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

quint16 peerPort(const sockaddr* address)
{
    return ntohs(address->sa_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(address)->sin6_port
                                                : reinterpret_cast<const sockaddr_in*>(address)->sin_port);
}

QString peerName(const sockaddr* address)
{
    return peerName(QHostAddress(address), peerPort(address));
}

// address and port as a socket address; the length, 0 when there is none.
socklen_t socketAddress(const QHostAddress& address, quint16 port, sockaddr_storage& out)
{
    out = {};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* a = reinterpret_cast<sockaddr_in*>(&out);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(address.toIPv4Address());
        return sizeof(sockaddr_in);
    }
    if (address.protocol() == QAbstractSocket::AnyIPProtocol) { // both families, as Qt binds Any
        auto* a = reinterpret_cast<sockaddr_in6*>(&out);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        a->sin6_addr = in6addr_any;
        return sizeof(sockaddr_in6);
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&out);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&a->sin6_addr, bytes.c, sizeof bytes.c);
        a->sin6_scope_id = address.scopeId().toUInt();
        return sizeof(sockaddr_in6);
    }
    return 0;
}

// Consecutive ports as a range, the others separated by commas.
QString portRanges(const std::vector<quint16>& ports)
{
    QStringList parts;
    for (std::size_t i = 0; i < ports.size();) {
        std::size_t last = i;
        while (last + 1 < ports.size() && ports[last + 1] == ports[last] + 1)
            ++last;
        parts += last == i ? QString::number(ports[i]) : QStringLiteral("%1-%2").arg(ports[i]).arg(ports[last]);
        i = last + 1;
    }
    return parts.join(QLatin1Char(','));
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

struct Simulator::Endpoint {
    // Sockets of one kind, handing their events to the simulator.
    struct Socket : platform::Epoll::Watcher {
        Socket(Simulator* sim, Endpoint* endpoint, bool tcp) : sim(sim), endpoint(endpoint), tcp(tcp) {}
        void OnReady(int, std::uint32_t) override
        {
            if (tcp)
                sim->accept(*endpoint);
            else
                sim->receiveUdp(*endpoint);
        }
        Simulator* sim;
        Endpoint* endpoint;
        bool tcp;
        int fd = -1;
        quint16 port = 0;
    };

    Endpoint(Simulator* sim, int index)
        : index(index), device(sim->m_config, index, [sim] { return sim->now(); }), tcp(sim, this, true),
          udp(sim, this, false)
    {
    }

    int index;
    Device device;
    Socket tcp;
    Socket udp;
    int connections = 0;
    bool acceptPaused = false;
};

// One TCP client on its own descriptor, watched through the simulator's
// epoll set: an idle connection costs no work per turn and no buffers.
class Connection : public QObject, public platform::Epoll::Watcher {
public:
    Connection(Simulator* sim, Simulator::Endpoint* endpoint, int fd)
        : QObject(sim), m_sim(sim), m_endpoint(endpoint), m_fd(fd), m_lastHeard(sim->now())
    {
        const Faults& f = sim->m_config.faults;
        if (f.delayMs || f.splitMs)
            m_out = new Outbox([this](const Outbox::Item& item) { return write(item); }, this);
        if (sim->m_config.verbose) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
            m_peer = sim->peerText("tcp", *endpoint, peerName(reinterpret_cast<sockaddr*>(&address)));
        }
    }

    bool watch()
    {
        m_events = EPOLLIN;
        return m_sim->m_epoll.Watch(m_fd, m_events, this);
    }

    // Ends the connection without a word to the simulator.
    void abort()
    {
        m_done = true;
        closeFd(true);
        deleteLater();
    }

    const QString& peer() const { return m_peer; }

    Simulator::Endpoint& endpoint() const { return *m_endpoint; }

    void OnReady(int, std::uint32_t events) override
    {
        if (m_done)
            return;
        if (events & EPOLLERR) {
            closeFd(true);
            finish();
            return;
        }
        if (events & (EPOLLIN | EPOLLHUP))
            onReadable();
        if (!m_done && (events & EPOLLOUT))
            onWritable();
    }

    // Answers at most one batch of the requests waiting. Asks for another
    // turn when more are waiting.
    void serve()
    {
        m_queued = false;
        if (m_done || m_closing)
            return;
        if (unsent() > Simulator::kMaxUnsent) {
            m_blocked = true; // onWritable serves again
            updateEvents();
            return;
        }
        m_blocked = false;
        const auto& closeAfter = m_sim->m_config.faults.closeAfter;
        QByteArray bytes;
        int answers = 0;
        bool close = false;
        int taken = 0;
        qsizetype at = 0;
        for (; taken < Simulator::kBatch; ++taken) {
            if (closeAfter && m_answers + answers >= *closeAfter) {
                close = true;
                break;
            }
            const QByteArray rest = QByteArray::fromRawData(m_in.constData() + at, m_in.size() - at);
            const FrameScan scan = scanRequest(rest);
            if (scan.result == FrameScan::Invalid) {
                if (m_sim->m_config.verbose)
                    m_sim->log(peer() + QStringLiteral(" invalid frame, closing: ") + hex(rest.left(64)));
                close = true;
                break;
            }
            if (scan.result != FrameScan::Complete)
                break;
            const QByteArray frame(rest.constData(), scan.length);
            at += scan.length;
            m_partialSince = -1;
            const auto answer = m_sim->respond(m_endpoint->device, frame, peer());
            if (m_done)
                return; // stopped from a slot of requestReceived
            if (answer && m_sim->m_config.faults.flood) {
                startFlood(*answer);
            } else if (answer) {
                bytes += *answer;
                ++answers;
            }
        }
        m_answers += answers;
        if (close)
            m_in.clear(); // what follows an invalid frame is never answered
        else
            m_in.remove(0, at);
        if (m_in.isEmpty())
            m_in = QByteArray(); // an idle connection holds no buffer
        if (!close && taken == Simulator::kBatch && !m_in.isEmpty())
            m_sim->wantTurn(this);
        else if (!close && !m_in.isEmpty() && m_partialSince < 0)
            m_partialSince = m_sim->now();
        schedule(bytes, answers, close);
        if (m_done)
            return;
        if (!close && !m_queued && m_peerEof)
            closeNow(QStringLiteral(" disconnected by the peer"));
        updateEvents();
    }

    bool queued() const { return m_queued; }
    void setQueued() { m_queued = true; }

    // Closes when a deadline has passed.
    void check(qint64 now)
    {
        if (m_done)
            return;
        if (m_closingSince >= 0) {
            if (now - m_closingSince > Simulator::kDrainMs) {
                if (m_sim->m_config.verbose)
                    m_sim->log(peer() + QStringLiteral(" answers not taken, aborted"));
                closeFd(true);
                finish();
            }
            return;
        }
        const qint64 idleMs = qint64(m_sim->m_config.idleTimeoutS) * 1000;
        if (idleMs > 0 && now - m_lastHeard > idleMs)
            closeNow(QStringLiteral(" idle, closing"));
        else if (m_partialSince >= 0 && now - m_partialSince > Simulator::kPartialMs)
            closeNow(QStringLiteral(" incomplete request, closing"));
    }

private:
    qint64 unsent() const { return m_outBuf.size() - m_outAt + (m_out ? m_out->pendingBytes() : 0); }

    // The flood fault: the answer, numbered 0 so that it matches no request,
    // sent again and again whenever the kernel takes more.
    void startFlood(const QByteArray& answer)
    {
        if (!m_flood.isEmpty() || answer.size() < qsizetype(modZeva::kHeaderSize))
            return;
        std::vector<std::uint8_t> frame(answer.begin(), answer.end());
        modZeva::putLe16(frame, modZeva::kInvokeId, 0);
        frame[modZeva::kBcc] = modZeva::CalcBcc(frame, 0, modZeva::kBccLast);
        const QByteArray one(reinterpret_cast<const char*>(frame.data()), qsizetype(frame.size()));
        while (m_flood.size() < 16 * 1024)
            m_flood += one;
        flood();
        updateEvents();
    }

    // Writes until the kernel takes no more, then leaves the rest waiting
    // for the connection to be writable; false when the connection broke.
    // At most 1 MiB a turn, so that the other connections are served too.
    bool flood()
    {
        if (m_flood.isEmpty() || m_closing)
            return true;
        for (int i = 0; i <= 16; ++i) {
            m_outBuf.remove(0, m_outAt);
            m_outAt = 0;
            while (unsent() < Simulator::kMaxUnsent)
                m_outBuf += m_flood;
            if (i == 16)
                break;
            if (!send())
                return false;
            if (unsent() > 0)
                break;
        }
        return true;
    }

    void onReadable()
    {
        m_lastHeard = m_sim->now();
        char* scratch = m_sim->m_scratch.data();
        const auto room = [&] {
            return m_closing ? qsizetype(m_sim->m_scratch.size())
                             : std::min<qsizetype>(m_sim->m_scratch.size(), qsizetype(modZeva::kMaxFrame) - m_in.size());
        };
        // Up to one frame of any length held; the rest waits in the kernel.
        while (room() > 0) {
            const ssize_t n = ::recv(m_fd, scratch, std::size_t(room()), MSG_DONTWAIT);
            if (n > 0) {
                if (!m_closing)
                    m_in.append(scratch, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n < 0) {
                closeFd(true);
                finish();
                return;
            }
            m_peerEof = true; // the client sends no more
            break;
        }
        if (m_closing) {
            if (m_peerEof && unsent() == 0) {
                closeFd(false);
                finish();
            } else {
                updateEvents();
            }
            return;
        }
        if (!m_queued && !m_blocked)
            serve();
        else
            updateEvents();
    }

    void onWritable()
    {
        if (!send() || !flood())
            return;
        if (m_closing) {
            if (unsent() == 0) {
                closeFd(false);
                finish();
            }
            return;
        }
        if (m_blocked && !m_queued && unsent() <= Simulator::kMaxUnsent)
            serve();
        else
            updateEvents();
    }

    // Reads while there is room and nothing forbids it; writes while answers wait.
    void updateEvents()
    {
        if (m_fd < 0)
            return;
        const bool read = !m_peerEof && (m_closing || (!m_blocked && m_in.size() < qsizetype(modZeva::kMaxFrame)));
        const std::uint32_t events = (read ? EPOLLIN : 0u) | (m_outAt < m_outBuf.size() ? EPOLLOUT : 0u);
        if (events == m_events)
            return;
        m_events = events;
        m_sim->m_epoll.Change(m_fd, events);
    }

    void schedule(const QByteArray& bytes, int answers, bool close)
    {
        if (answers == 0 && !close)
            return;
        if (!m_out) {
            write({0, bytes, answers, close, {}, 0});
            return;
        }
        const Faults& f = m_sim->m_config.faults;
        const qint64 due = m_out->now() + f.delayMs.value_or(0);
        if (f.splitMs && bytes.size() >= 2) {
            const qsizetype half = bytes.size() / 2;
            m_out->push({due, bytes.left(half), answers, false, {}, 0});
            m_out->push({due + *f.splitMs, bytes.mid(half), 0, close, {}, 0});
        } else {
            m_out->push({due, bytes, answers, close, {}, 0});
        }
    }

    bool write(const Outbox::Item& item)
    {
        if (m_done || m_fd < 0)
            return false;
        if (!item.bytes.isEmpty()) {
            m_outBuf += item.bytes;
            if (m_sim->m_config.verbose)
                m_sim->log(peer() + QStringLiteral(" > ") + hex(item.bytes));
        }
        m_sim->countAnswers(item.answers);
        // The last answer and the close leave in one segment, as a device
        // that closes right after answering sends them.
        if (item.close) {
            const int on = 1;
            ::setsockopt(m_fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
        }
        if (m_done || !send())
            return false;
        if (item.close) {
            closeNow(QStringLiteral(" closed by the simulator"));
            return false;
        }
        updateEvents();
        return true;
    }

    // Hands the kernel what it takes; false when the connection broke.
    bool send()
    {
        while (m_outAt < m_outBuf.size()) {
            const ssize_t n = ::send(m_fd, m_outBuf.constData() + m_outAt, std::size_t(m_outBuf.size() - m_outAt),
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                m_outAt += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            closeFd(true);
            finish();
            return false;
        }
        if (m_outAt == m_outBuf.size()) {
            m_outBuf = QByteArray();
            m_outAt = 0;
        }
        return true;
    }

    // Closes once the answers already written are sent, within kDrainMs.
    void closeNow(const QString& why)
    {
        if (m_closing)
            return;
        if (m_sim->m_config.verbose)
            m_sim->log(peer() + why);
        m_closing = true;
        m_partialSince = -1;
        m_in = QByteArray();
        if (m_outAt == m_outBuf.size()) {
            closeFd(false);
            finish();
            return;
        }
        m_closingSince = m_sim->now();
        updateEvents();
    }

    // reset: a close that discards what is unsent (RST) instead of ending
    // the stream.
    void closeFd(bool reset)
    {
        if (m_fd < 0)
            return;
        m_sim->m_epoll.Forget(m_fd);
        if (reset) {
            const linger now{1, 0};
            ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        } else {
            // Unread bytes would turn the close into a reset that can
            // destroy answers the client has not read yet.
            ::shutdown(m_fd, SHUT_WR);
            char* scratch = m_sim->m_scratch.data();
            for (int i = 0; i < 16 && ::recv(m_fd, scratch, m_sim->m_scratch.size(), MSG_DONTWAIT) > 0; ++i) {
            }
        }
        ::close(m_fd);
        m_fd = -1;
    }

    void finish()
    {
        if (m_done)
            return;
        m_done = true;
        m_sim->forget(this);
        if (m_sim->m_config.verbose)
            m_sim->log(peer() + QStringLiteral(" disconnected"));
        deleteLater();
        emit m_sim->connectionClosed();
    }

    Simulator* m_sim;
    Simulator::Endpoint* m_endpoint;
    int m_fd;
    QString m_peer; // only with --verbose
    Outbox* m_out = nullptr;
    QByteArray m_in;     // received, not yet answered
    QByteArray m_outBuf; // answers the kernel has not taken yet, from m_outAt
    QByteArray m_flood;  // the flood fault's frames, repeated
    qsizetype m_outAt = 0;
    std::uint32_t m_events = 0;
    qint64 m_lastHeard;
    qint64 m_partialSince = -1; // since when an incomplete request is held
    qint64 m_closingSince = -1; // since when the close waits for answers to drain
    int m_answers = 0;
    bool m_closing = false; // nothing more is answered
    bool m_blocked = false; // too many answers unsent: not read from
    bool m_queued = false;  // waiting for its turn
    bool m_peerEof = false; // the client has closed its side
    bool m_done = false;
};

Simulator::Simulator(Config config, QObject* parent)
    : QObject(parent), m_config(std::move(config)),
      m_random(m_config.seed ? *m_config.seed : std::random_device{}())
{
    m_clock.start();
    for (int i = 0; i < std::max(1, m_config.devices); ++i)
        m_endpoints.push_back(std::make_unique<Endpoint>(this, i));
}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start(QString* error)
{
    stop();
    QString message;
    if (!m_epoll.Open())
        message = QStringLiteral("cannot watch sockets: %1").arg(systemError());
    for (std::size_t i = 0; i < m_endpoints.size() && message.isEmpty(); ++i)
        bind(*m_endpoints[i], &message);
    if (!message.isEmpty()) {
        stop();
        if (error)
            *error = message;
        return false;
    }
    m_udpReceiver = std::make_unique<UdpReceiver>();
    m_epollNotifier = new QSocketNotifier(qintptr(m_epoll.Descriptor()), QSocketNotifier::Read, this);
    connect(m_epollNotifier, &QSocketNotifier::activated, this, &Simulator::onEvents);
    if (m_config.faults.delayMs) {
        m_udpOut = new Outbox([this](const Outbox::Item& item) {
            const qint64 cost = delayCost(item.bytes);
            m_udpDelayedAll -= cost;
            const auto held = m_udpDelayed.find({item.to, item.port});
            if (held != m_udpDelayed.end()) {
                *held -= cost;
                if (*held <= 0)
                    m_udpDelayed.erase(held);
            }
            sockaddr_storage to;
            const socklen_t length = socketAddress(item.to, item.port, to);
            sendUdp(*m_endpoints[std::size_t(item.device)], item.bytes, reinterpret_cast<const sockaddr*>(&to), length);
            countAnswers(item.answers);
            return true;
        }, this);
    }
    m_turn = new QTimer(this);
    m_turn->setSingleShot(true);
    m_turn->setInterval(0);
    connect(m_turn, &QTimer::timeout, this, &Simulator::takeTurn);
    m_sweep = new QTimer(this);
    m_sweep->setInterval(kSweepMs);
    connect(m_sweep, &QTimer::timeout, this, &Simulator::sweep);
    m_acceptResume = new QTimer(this);
    m_acceptResume->setSingleShot(true);
    m_acceptResume->setInterval(kAcceptPauseMs);
    connect(m_acceptResume, &QTimer::timeout, this, &Simulator::resumeAccepting);
    return true;
}

// The device's TCP port and UDP port: its place in the run counted from the
// ports configured, or free ports.
bool Simulator::bind(Endpoint& endpoint, QString* error)
{
    for (Endpoint::Socket* socket : {&endpoint.tcp, &endpoint.udp}) {
        const quint16 first = socket->tcp ? m_config.tcpPort : m_config.udpPort;
        const quint16 port = first == 0 ? 0 : quint16(first + endpoint.index);
        sockaddr_storage address;
        const socklen_t length = socketAddress(m_config.bind, port, address);
        const int type = (socket->tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC;
        socket->fd = ::socket(address.ss_family, type, 0);
        const int one = 1, zero = 0;
        if (socket->fd >= 0 && socket->tcp)
            ::setsockopt(socket->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (socket->fd >= 0 && m_config.bind.protocol() == QAbstractSocket::AnyIPProtocol)
            ::setsockopt(socket->fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero); // both families, as Qt binds Any
        if (socket->fd < 0 || ::bind(socket->fd, reinterpret_cast<const sockaddr*>(&address), length) != 0
            || (socket->tcp && ::listen(socket->fd, SOMAXCONN) != 0)) {
            *error = QStringLiteral("cannot %1 %2 port %3: %4")
                         .arg(socket->tcp ? QStringLiteral("listen on tcp") : QStringLiteral("bind udp"), m_config.bind.toString())
                         .arg(port).arg(systemError());
            return false;
        }
        if (!socket->tcp) {
            // As deep a queue as the system allows: a sender flooding the socket
            // between two turns fills it, and what comes then is lost for everyone.
            const int wanted = 8 << 20;
            ::setsockopt(socket->fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
        }
        socklen_t boundLength = sizeof address;
        ::getsockname(socket->fd, reinterpret_cast<sockaddr*>(&address), &boundLength);
        socket->port = peerPort(reinterpret_cast<const sockaddr*>(&address));
        if (!m_epoll.Watch(socket->fd, EPOLLIN, socket)) {
            *error = QStringLiteral("cannot watch sockets: %1").arg(systemError());
            return false;
        }
    }
    return true;
}

void Simulator::stop()
{
    m_ready.clear();
    m_udpSenders.clear();
    m_udpRound.clear();
    m_udpWaiting = 0;
    m_udpDelayed.clear();
    m_udpDelayedAll = 0;
    for (Connection* c : std::exchange(m_connections, {}))
        c->abort();
    if (m_epollNotifier) {
        m_epollNotifier->setEnabled(false);
        m_epollNotifier->deleteLater();
        m_epollNotifier = nullptr;
    }
    m_epoll.Close();
    for (const auto& endpoint : m_endpoints) {
        for (Endpoint::Socket* socket : {&endpoint->tcp, &endpoint->udp}) {
            if (socket->fd >= 0)
                ::close(socket->fd);
            socket->fd = -1;
            socket->port = 0;
        }
        endpoint->connections = 0;
        endpoint->acceptPaused = false;
    }
    m_udpReceiver.reset();
    for (QObject* o : {static_cast<QObject*>(m_udpOut), static_cast<QObject*>(m_turn), static_cast<QObject*>(m_sweep),
                       static_cast<QObject*>(m_acceptResume)})
        if (o)
            o->deleteLater();
    m_udpOut = nullptr;
    m_turn = nullptr;
    m_sweep = nullptr;
    m_acceptResume = nullptr;
}

quint16 Simulator::tcpPort(int device) const
{
    return device >= 0 && device < deviceCount() ? m_endpoints[std::size_t(device)]->tcp.port : 0;
}

quint16 Simulator::udpPort(int device) const
{
    return device >= 0 && device < deviceCount() ? m_endpoints[std::size_t(device)]->udp.port : 0;
}

QString Simulator::portList() const
{
    std::vector<quint16> tcp, udp;
    for (const auto& endpoint : m_endpoints) {
        tcp.push_back(endpoint->tcp.port);
        udp.push_back(endpoint->udp.port);
    }
    return QStringLiteral("tcp %1 udp %2").arg(portRanges(tcp), portRanges(udp));
}

Device& Simulator::device(int index)
{
    return m_endpoints.at(std::size_t(index))->device;
}

QByteArray Simulator::readArea(char area, int offset, int size) const
{
    return m_endpoints.front()->device.readArea(area, offset, size);
}

bool Simulator::writeArea(char area, int offset, const QByteArray& data)
{
    return m_endpoints.front()->device.writeArea(area, offset, data);
}

QByteArray Simulator::variable(const QByteArray& name) const
{
    return m_endpoints.front()->device.variable(name);
}

bool Simulator::setVariable(const QByteArray& name, const QByteArray& value)
{
    return m_endpoints.front()->device.setVariable(name, value);
}

int Simulator::connectionCount() const
{
    return static_cast<int>(m_connections.size());
}

QString Simulator::peerText(const char* protocol, const Endpoint& endpoint, const QString& address) const
{
    QString text = QLatin1String(protocol) + QLatin1Char(' ') + address;
    if (m_endpoints.size() > 1)
        text += QStringLiteral(" (device %1)").arg(endpoint.index + 1);
    return text;
}

void Simulator::accept(Endpoint& endpoint)
{
    for (int i = 0; i < kAcceptBatch && endpoint.tcp.fd >= 0; ++i) {
        const int fd = ::accept4(endpoint.tcp.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            onIncoming(endpoint, fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // Out of descriptors, or another failure that would repeat at once:
        // accepting stops for a moment instead of spinning.
        if (m_config.verbose)
            log(QStringLiteral("accept failed (%1), paused for %2 ms").arg(systemError()).arg(kAcceptPauseMs));
        m_epoll.Change(endpoint.tcp.fd, 0);
        endpoint.acceptPaused = true;
        if (!m_acceptResume->isActive())
            m_acceptResume->start();
        return;
    }
}

void Simulator::resumeAccepting()
{
    for (const auto& endpoint : m_endpoints) {
        if (!endpoint->acceptPaused || endpoint->tcp.fd < 0)
            continue;
        endpoint->acceptPaused = false;
        m_epoll.Change(endpoint->tcp.fd, EPOLLIN);
    }
}

void Simulator::onIncoming(Endpoint& endpoint, int fd)
{
    if (endpoint.connections >= m_config.maxConnections) {
        ++m_refused;
        if (m_config.verbose) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
            log(QStringLiteral("%1 refused: %2 connections open, %3 refused so far")
                    .arg(peerText("tcp", endpoint, peerName(reinterpret_cast<sockaddr*>(&address))))
                    .arg(endpoint.connections).arg(m_refused));
        }
        ::close(fd);
        return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto* connection = new Connection(this, &endpoint, fd);
    if (!connection->watch()) {
        ::close(fd);
        delete connection;
        return;
    }
    m_connections.append(connection);
    ++endpoint.connections;
    if (m_config.verbose)
        log(connection->peer() + QStringLiteral(" connected"));
    if (!m_sweep->isActive())
        m_sweep->start();
}

void Simulator::onEvents()
{
    m_epoll.Dispatch(m_epoll.Wait(0));
    // Datagrams are answered at once unless a turn is due anyway; the turn
    // answers them then.
    if (m_epoll.IsOpen() && !m_udpRound.empty() && !m_turn->isActive())
        serveUdp();
}

void Simulator::forget(Connection* connection)
{
    m_connections.removeOne(connection);
    m_ready.removeOne(connection);
    --connection->endpoint().connections;
    if (m_connections.isEmpty() && m_sweep)
        m_sweep->stop();
}

void Simulator::wantTurn(Connection* connection)
{
    if (!connection->queued()) {
        connection->setQueued();
        m_ready.append(connection);
    }
    if (m_turn && !m_turn->isActive())
        m_turn->start();
}

void Simulator::takeTurn()
{
    for (Connection* c : std::exchange(m_ready, {})) {
        c->serve();
        if (!m_turn)
            return; // stopped from a slot
    }
    if (!m_udpRound.empty())
        serveUdp();
}

void Simulator::sweep()
{
    const qint64 t = now();
    for (Connection* c : QList<Connection*>(m_connections))
        c->check(t);
}

// Datagrams are taken straight from the descriptor, many per call: a sender
// flooding the socket must not fill it so that others' datagrams are lost.
struct Simulator::UdpReceiver {
    static constexpr int kCount = 32;
    static constexpr std::size_t kSize = 65536; // any datagram; pages are only touched as used

    UdpReceiver() : buffer(kCount * kSize)
    {
        for (int i = 0; i < kCount; ++i) {
            iov[i] = {buffer.data() + i * kSize, kSize};
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
    }

    int receive(int fd, int count)
    {
        for (int i = 0; i < count; ++i) {
            messages[i].msg_hdr.msg_name = &from[i];
            messages[i].msg_hdr.msg_namelen = sizeof from[i];
            messages[i].msg_hdr.msg_flags = 0;
        }
        return ::recvmmsg(fd, messages, unsigned(count), MSG_DONTWAIT, nullptr);
    }

    std::vector<char> buffer;
    iovec iov[kCount];
    mmsghdr messages[kCount] = {};
    sockaddr_storage from[kCount];
};

std::size_t Simulator::UdpKeyHash::operator()(const UdpKey& key) const
{
    return std::hash<std::string_view>()(std::string_view(key.data(), key.size()));
}

void Simulator::receiveUdp(Endpoint& endpoint)
{
    // Level-triggered: what is left on the socket is taken when its turn
    // comes again, after the other sockets ready.
    UdpReceiver& r = *m_udpReceiver;
    const int n = r.receive(endpoint.udp.fd, kUdpReceive);
    for (int i = 0; i < n; ++i) {
        const auto* from = reinterpret_cast<const sockaddr*>(&r.from[i]);
        UdpKey key{};
        std::memcpy(key.data(), &r.from[i], std::min<std::size_t>(r.messages[i].msg_hdr.msg_namelen, sizeof(sockaddr_storage)));
        std::memcpy(key.data() + sizeof(sockaddr_storage), &endpoint.index, sizeof endpoint.index);
        auto it = m_udpSenders.find(key);
        // A sender faster than its share loses the excess, as a full socket would.
        if ((it != m_udpSenders.end() && int(it->second.requests.size()) >= kUdpQueue) || m_udpWaiting >= kUdpWaitingMax)
            continue;
        const QByteArray data(r.buffer.data() + std::size_t(i) * UdpReceiver::kSize, qsizetype(r.messages[i].msg_len));
        const FrameScan scan = scanRequest(data);
        // A datagram is one frame: its size must be what the header says.
        if (scan.result != FrameScan::Complete || scan.length != data.size() || (r.messages[i].msg_hdr.msg_flags & MSG_TRUNC)) {
            if (m_config.verbose)
                log(QStringLiteral("%1 ignored %2").arg(peerText("udp", endpoint, peerName(from)), hex(data)));
            continue;
        }
        if (it == m_udpSenders.end()) {
            it = m_udpSenders.emplace(key, UdpSender{}).first;
            it->second.address = r.from[i];
            it->second.addressLength = r.messages[i].msg_hdr.msg_namelen;
            it->second.endpoint = &endpoint;
            m_udpRound.push_back(key);
        }
        it->second.requests.push_back(data);
        ++m_udpWaiting;
    }
}

void Simulator::serveUdp()
{
    const std::size_t senders = m_udpRound.size();
    for (std::size_t s = 0; s < senders && m_epoll.IsOpen(); ++s) {
        const UdpKey key = m_udpRound.front();
        m_udpRound.pop_front();
        UdpSender& sender = m_udpSenders[key];
        Endpoint& endpoint = *sender.endpoint;
        const auto* to = reinterpret_cast<const sockaddr*>(&sender.address);
        const QString peer = m_config.verbose ? peerText("udp", endpoint, peerName(to)) : QString();
        for (int n = 0; n < kBatch && !sender.requests.empty(); ++n) {
            const QByteArray frame = std::move(sender.requests.front());
            sender.requests.pop_front();
            --m_udpWaiting;
            const auto answer = respond(endpoint.device, frame, peer);
            if (!m_epoll.IsOpen())
                return; // stopped from a slot of requestReceived
            if (!answer)
                continue;
            if (m_udpOut) {
                delayUdp(endpoint, *answer, to, peer);
            } else {
                sendUdp(endpoint, *answer, to, sender.addressLength);
                countAnswers(1);
                if (!m_epoll.IsOpen())
                    return;
            }
        }
        if (sender.requests.empty())
            m_udpSenders.erase(key);
        else
            m_udpRound.push_back(key);
    }
    if (m_epoll.IsOpen() && !m_udpRound.empty() && !m_turn->isActive())
        m_turn->start();
}

void Simulator::delayUdp(const Endpoint& endpoint, const QByteArray& answer, const sockaddr* to, const QString& peer)
{
    Outbox::Item item;
    item.to = QHostAddress(to);
    item.port = peerPort(to);
    item.device = endpoint.index;
    const qint64 held = m_udpDelayed.value({item.to, item.port});
    const qint64 cost = delayCost(answer);
    if (held + cost > kMaxUnsent || m_udpDelayedAll + cost > kUdpDelayedMax) {
        ++m_udpNotSent;
        if (m_config.verbose)
            log(QStringLiteral("%1 answer not sent: %2 bytes of its answers and %3 in all wait for the delay")
                    .arg(peer).arg(held).arg(m_udpDelayedAll));
        return;
    }
    m_udpDelayed.insert({item.to, item.port}, held + cost);
    m_udpDelayedAll += cost;
    item.due = m_udpOut->now() + m_config.faults.delayMs.value_or(0);
    item.bytes = answer;
    item.answers = 1;
    m_udpOut->push(std::move(item));
}

int Simulator::udpAnswersDelayed() const
{
    return m_udpOut ? int(m_udpOut->pendingItems()) : 0;
}

void Simulator::sendUdp(const Endpoint& endpoint, const QByteArray& answer, const sockaddr* to, socklen_t length)
{
    if (answer.isEmpty() || endpoint.udp.fd < 0 || length == 0)
        return;
    // A full socket loses the answer, as UDP may.
    ::sendto(endpoint.udp.fd, answer.constData(), std::size_t(answer.size()), MSG_DONTWAIT, to, length);
    if (m_config.verbose)
        log(QStringLiteral("%1 > %2").arg(peerText("udp", endpoint, peerName(to)), hex(answer)));
}

std::optional<QByteArray> Simulator::respond(Device& device, const QByteArray& frame, const QString& peer)
{
    ++m_received;
    if (m_config.verbose)
        log(peer + QStringLiteral(" < ") + hex(frame));
    emit requestReceived();
    // A dropped request is carried out all the same: only its answer is lost,
    // as when the network loses it on the way back.
    QByteArray answer = device.answer(frame);
    const int dropPercent = m_config.faults.dropPercent;
    if (dropPercent >= 100 || (dropPercent > 0 && std::uniform_int_distribution<int>(0, 99)(m_random) < dropPercent))
        return std::nullopt;
    if (m_config.faults.truncate)
        answer.truncate(*m_config.faults.truncate);
    return answer;
}

void Simulator::log(const QString& line)
{
    if (m_config.verbose)
        emit logLine(line);
}

void Simulator::countAnswers(int n)
{
    for (int i = 0; i < n; ++i) {
        ++m_answered;
        emit requestAnswered();
    }
}

} // namespace sim
