#include "QtSocket.h"
#include "SocketErrorText.h"

#include <QAbstractEventDispatcher>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <algorithm>

namespace platform {

namespace {

// A UDP payload is at most 65535 - 8 bytes.
constexpr qint64 kMaxDatagram = 0xFFFF;

// The most a TCP socket reads at one wake-up: a hundred answers or so, or a
// sixteenth of the largest frame. What a device sends beyond it waits in the
// system until the next turn of the event loop, after the timers and the
// other sockets; handling the answers read costs far more than a read call,
// so a smaller piece keeps a flood's share of each turn small.
constexpr std::size_t kReadChunk = 4 * 1024;

QString ToQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// An IPv4 address written as IPv4-mapped IPv6 is used as the IPv4 address.
QHostAddress Plain(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

// Counts the calls into the socket under way: what they raise is delivered
// after they return.
struct InCall {
    int& depth;
    explicit InCall(int& d) : depth(d) { ++depth; }
    ~InCall() { --depth; }
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;
};

// Where every socket of the thread reads to, before what was read is kept:
// one buffer, not one of a largest frame per socket.
char* Scratch()
{
    static_assert(kMaxHeldTcpBytes + 1 >= static_cast<std::size_t>(kMaxDatagram));
    thread_local std::vector<char> scratch(kMaxHeldTcpBytes + 1);
    return scratch.data();
}

// The sockets of this thread delivering events now, and the event loop
// whose waits they are told of.
thread_local std::vector<QtSocket*> delivering;
thread_local QPointer<QAbstractEventDispatcher> watched;

} // namespace

QtSocket::QtSocket(QObject* parent) : QObject(parent), udpRing_(kMaxHeldDatagrams)
{
    auto* dispatcher = QAbstractEventDispatcher::instance(thread());
    if (dispatcher && watched != dispatcher) {
        watched = dispatcher;
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, &QtSocket::OnAboutToBlock);
    }
}

QtSocket::~QtSocket()
{
    delivering.erase(std::remove(delivering.begin(), delivering.end(), this), delivering.end());
    // Nothing may reach this object while its sockets go down.
    if (tcp_) {
        tcp_->disconnect(this);
        tcp_->abort();
    }
    if (udp_) {
        udp_->disconnect(this);
        udp_->abort();
    }
}

void QtSocket::SetProtocol(Protocol protocol)
{
    InCall call(inCall_);
    if (protocol != protocol_)
        Reset();
    protocol_ = protocol;
}

void QtSocket::SetRemoteHost(std::string_view host)
{
    host_ = ToQString(host);
    // A lookup still under way is left to finish; its result no longer
    // matches lookupId_ and is ignored.
    lookupId_ = -1;
    udpTarget_ = UdpTarget::Unknown;
    udpHeld_.clear();
    finished_ = false;
}

void QtSocket::Connect()
{
    if (protocol_ != Protocol::Tcp)
        return;
    InCall call(inCall_);
    Reset();
    if (!tcp_) {
        tcp_ = new QTcpSocket(this);
        // A device is reached directly: a proxy named in the environment
        // must not carry its traffic, nor its look-up delay the first request.
        tcp_->setProxy(QNetworkProxy::NoProxy);
        connect(tcp_, &QTcpSocket::connected, this, &QtSocket::OnTcpConnected);
        connect(tcp_, &QTcpSocket::readyRead, this, &QtSocket::OnTcpReadyRead);
        connect(tcp_, &QTcpSocket::disconnected, this, &QtSocket::OnTcpDisconnected);
        connect(tcp_, &QTcpSocket::errorOccurred, this, &QtSocket::OnTcpError);
    }
    finished_ = false;
    tcpOpen_ = true;
    // A literal IPv4 or IPv6 address is used as it is; a host name is looked
    // up, and each of its addresses is tried in turn.
    // Unbuffered: a write goes to the system at once, without Qt turning its
    // write notifier on and off (which wakes the event loop once more per
    // exchange), and a read takes the bytes straight from the system.
    tcp_->connectToHost(host_, port_, QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void QtSocket::SendData(std::span<const std::uint8_t> bytes)
{
    if (finished_)
        return;
    InCall call(inCall_);

    if (protocol_ == Protocol::Tcp) {
        if (tcpReady_) {
            // Written now: a request waits for nothing.
            tcp_->write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
            tcp_->flush();
        } else if (tcpOpen_) {
            tcpHeld_.insert(tcpHeld_.end(), bytes.begin(), bytes.end());
        } else {
            PostError(QStringLiteral("The socket is not connected"));
        }
        return;
    }

    if (udpTarget_ == UdpTarget::Unknown)
        StartUdp();
    else if (udpTarget_ == UdpTarget::Refused)
        UseUdpAddress(udpAddress_);
    if (udpTarget_ == UdpTarget::LookingUp)
        udpHeld_.emplace_back(bytes.begin(), bytes.end());
    else if (udpTarget_ == UdpTarget::Ready)
        SendDatagram(bytes);
}

void QtSocket::GetData(std::vector<std::uint8_t>& out)
{
    // Buffers are swapped, not copied: both sides keep their storage.
    if (protocol_ == Protocol::Tcp) {
        out.swap(tcpReceived_);
        tcpReceived_.clear();
        fetchedMarks_.swap(tcpMarks_);
        tcpMarks_.clear();
        return;
    }
    if (udpCount_ == 0) {
        out.clear();
        return;
    }
    Datagram& first = udpRing_[udpFirst_];
    out.swap(first.bytes);
    first.bytes.clear();
    fetchedTick_ = first.tick;
    fetchedMicros_ = first.micros;
    udpFirst_ = (udpFirst_ + 1) % udpRing_.size();
    --udpCount_;
}

const QtSocket::Mark* QtSocket::FetchedMark(std::size_t offset) const
{
    if (fetchedMarks_.empty())
        return nullptr;
    for (const Mark& m : fetchedMarks_) {
        if (offset < m.end)
            return &m;
    }
    return &fetchedMarks_.back();
}

std::int32_t QtSocket::ArrivalTick(std::size_t offset) const
{
    if (protocol_ == Protocol::Udp)
        return fetchedTick_;
    const Mark* m = FetchedMark(offset);
    return m ? m->tick : 0;
}

std::int64_t QtSocket::ArrivalMicros(std::size_t offset) const
{
    if (protocol_ == Protocol::Udp)
        return fetchedMicros_;
    const Mark* m = FetchedMark(offset);
    return m ? m->micros : 0;
}

bool QtSocket::PeerClosed()
{
    if (protocol_ != Protocol::Tcp || !tcp_ || !tcpReady_ || finished_)
        return finished_;
    InCall call(inCall_);
    // Unbuffered, a read finds the close; what it finds before it is kept.
    ReadTcp();
    return finished_;
}

void QtSocket::Close()
{
    InCall call(inCall_);
    Reset();
    finished_ = true;
}

void QtSocket::Reset()
{
    firstEvent_ = 0;
    eventCount_ = 0;
    dataEventPending_ = false;

    tcpOpen_ = false;
    tcpReady_ = false;
    lastReadFull_ = false;
    tcpHeld_.clear();
    tcpReceived_.clear();
    tcpMarks_.clear();
    if (tcp_)
        tcp_->abort();

    lookupId_ = -1;
    udpTarget_ = UdpTarget::Unknown;
    udpHeld_.clear();
    udpCount_ = 0;
    if (udp_)
        udp_->abort();
}

namespace {

Endpoint EndpointOf(const QHostAddress& given, quint16 port)
{
    Endpoint e;
    const QHostAddress address = Plain(given);
    if (port == 0 || address.isNull())
        return e;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v4 = address.toIPv4Address();
        for (std::size_t i = 0; i < 4; ++i)
            e.address[i] = static_cast<std::uint8_t>(v4 >> (24 - 8 * i));
        e.size = 4;
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        for (std::size_t i = 0; i < 16; ++i)
            e.address[i] = v6[static_cast<int>(i)];
        e.size = 16;
    } else {
        return e;
    }
    e.port = port;
    return e;
}

} // namespace

Endpoint QtSocket::LocalEndpoint() const
{
    const QAbstractSocket* s = protocol_ == Protocol::Tcp ? static_cast<QAbstractSocket*>(tcp_) : udp_;
    return s ? EndpointOf(s->localAddress(), s->localPort()) : Endpoint{};
}

Endpoint QtSocket::PeerEndpoint() const
{
    const QAbstractSocket* s = protocol_ == Protocol::Tcp ? static_cast<QAbstractSocket*>(tcp_) : udp_;
    return s ? EndpointOf(s->peerAddress(), s->peerPort()) : Endpoint{};
}

std::uint16_t QtSocket::LocalPort() const
{
    if (protocol_ == Protocol::Tcp)
        return tcp_ ? tcp_->localPort() : 0;
    return udp_ ? udp_->localPort() : 0;
}

std::size_t QtSocket::HeldBytes() const
{
    if (protocol_ == Protocol::Tcp)
        return tcpReceived_.size();
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < udpCount_; ++i)
        bytes += udpRing_[(udpFirst_ + i) % udpRing_.size()].bytes.size();
    return bytes;
}

bool QtSocket::NoDelay() const
{
    return tcp_ && tcp_->socketOption(QAbstractSocket::LowDelayOption).toInt() != 0;
}

std::int32_t QtSocket::Now() const
{
    return ticks_ ? ticks_->GetTickCount() : 0;
}

void QtSocket::Post(EventKind kind, std::string description)
{
    for (std::size_t i = 0; i < eventCount_; ++i) {
        if (events_[(firstEvent_ + i) % events_.size()].kind == kind)
            return;
    }
    Event& e = events_[(firstEvent_ + eventCount_) % events_.size()];
    e.kind = kind;
    e.description = std::move(description);
    ++eventCount_;

    if (delivering_)
        return; // the delivering loop takes it once the handler has returned
    if (inCall_ > 0) {
        if (!deliverQueued_) {
            deliverQueued_ = true;
            QMetaObject::invokeMethod(this, &QtSocket::DeliverQueued, Qt::QueuedConnection);
        }
        return;
    }
    Deliver();
}

void QtSocket::PostError(const QString& description)
{
    if (finished_)
        return;
    finished_ = true;
    Post(EventKind::Error, description.toStdString());
}

void QtSocket::PostData()
{
    if (dataEventPending_)
        return;
    dataEventPending_ = true;
    Post(EventKind::DataArrival);
}

void QtSocket::DeliverQueued()
{
    deliverQueued_ = false;
    Deliver();
}

void QtSocket::Deliver()
{
    if (delivering_)
        return;
    delivering_ = true;
    delivering.push_back(this);
    QPointer<QtSocket> alive(this);
    while (eventCount_ > 0) {
        Event event = std::move(events_[firstEvent_]);
        firstEvent_ = (firstEvent_ + 1) % events_.size();
        --eventCount_;

        std::size_t bytes = 0;
        if (event.kind == EventKind::DataArrival) {
            dataEventPending_ = false;
            bytes = protocol_ == Protocol::Tcp ? tcpReceived_.size()
                                               : (udpCount_ > 0 ? udpRing_[udpFirst_].bytes.size() : 0);
            // Dropped since it was raised.
            if (protocol_ == Protocol::Tcp ? tcpReceived_.empty() : udpCount_ == 0)
                continue;
        } else if (event.kind == EventKind::Connect) {
            tcpReady_ = true;
            if (!tcpHeld_.empty()) {
                tcp_->write(reinterpret_cast<const char*>(tcpHeld_.data()), static_cast<qint64>(tcpHeld_.size()));
                tcp_->flush();
                tcpHeld_.clear();
            }
        }
        if (!listener_)
            continue;

        switch (event.kind) {
        case EventKind::Connect: listener_->tcpClient_Connect(); break;
        case EventKind::DataArrival: listener_->tcpClient_DataArrival(bytes); break;
        case EventKind::Close: listener_->tcpClient_Close(); break;
        case EventKind::Error: listener_->tcpClient_Error(event.description); break;
        }
        if (!alive)
            return;
        // What the handler left unfetched, or what came meanwhile, raises
        // the next data event.
        if (event.kind == EventKind::DataArrival
            && (protocol_ == Protocol::Tcp ? !tcpReceived_.empty() : udpCount_ > 0))
            PostData();
    }
    delivering_ = false;
    delivering.erase(std::remove(delivering.begin(), delivering.end(), this), delivering.end());
    // A nested event loop ran: what Qt took in after it last looked raises no
    // signal of its own.
    if (lookAgain_) {
        lookAgain_ = false;
        QMetaObject::invokeMethod(this, &QtSocket::ReadWaiting, Qt::QueuedConnection);
    }
}

void QtSocket::ReadWaiting()
{
    if (finished_)
        return;
    // A read also finds a close that came meanwhile.
    if (protocol_ == Protocol::Tcp && tcp_ && tcpOpen_ && tcp_->state() == QAbstractSocket::ConnectedState)
        ReadTcp();
    else if (protocol_ == Protocol::Udp && udp_ && udpTarget_ == UdpTarget::Ready) {
        bool received = false;
        while (!finished_ && TakeDatagram())
            received = true;
        if (received)
            PostData();
    }
}

void QtSocket::Overflow(const QString& description)
{
    // What is held is the device's flood, not answers: dropped, so that the
    // error is the next thing the client sees.
    tcpReceived_.clear();
    tcpMarks_.clear();
    udpCount_ = 0;
    PostError(description);
    if (tcp_ && tcpOpen_) {
        tcpOpen_ = false;
        tcp_->abort();
    }
    if (udp_)
        udp_->abort();
}

void QtSocket::OnAboutToBlock()
{
    // A socket may go while another is read.
    std::vector<QPointer<QtSocket>> sockets(delivering.begin(), delivering.end());
    for (const QPointer<QtSocket>& socket : sockets) {
        if (socket)
            socket->LookWhileDelivering();
    }
}

void QtSocket::LookWhileDelivering()
{
    if (!delivering_)
        return;
    lookAgain_ = true;
    ReadWaiting();
}

void QtSocket::OnTcpConnected()
{
    tcp_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    Post(EventKind::Connect);
}

void QtSocket::OnTcpReadyRead()
{
#ifdef Q_OS_WIN
    // Qt's Windows event loop handles every message in the thread's queue
    // before it runs posted events, and the system makes a timer's message
    // only when the queue is empty; a socket that is read while more waits
    // in the system gets its next message at once. A device sending without
    // pause would keep the queue full and hold every timer back. After a
    // full piece the next read therefore waits for the next turn of the
    // loop: left unread, the socket's notifier goes quiet, the queue drains,
    // timers run, and the read put off re-arms the notifier.
    if (readAfterTurn_)
        return;
    if (lastReadFull_) {
        readAfterTurn_ = true;
        QMetaObject::invokeMethod(this, &QtSocket::ReadAfterTurn, Qt::QueuedConnection);
        return;
    }
#endif
    ReadTcp();
}

void QtSocket::ReadAfterTurn()
{
    readAfterTurn_ = false;
    ReadWaiting();
}

void QtSocket::ReadTcp()
{
    // One read a wake-up, of a bounded amount: a device that sends without
    // pause gets its turn like any other, and the rest waits in the system
    // until the event loop has run the timers and the other sockets. The
    // notifier stays on while bytes wait there.
    char* scratch = Scratch();
    // While a handler runs, one byte more than may be held tells an
    // overflow; otherwise what is read is handed on at once.
    const std::size_t room = kMaxHeldTcpBytes - tcpReceived_.size();
    const std::size_t want = std::min(delivering_ ? room + 1 : room, kReadChunk);
    if (want == 0)
        return;
    const qint64 n = tcp_->read(scratch, static_cast<qint64>(want));
    lastReadFull_ = n > 0 && static_cast<std::size_t>(n) == want;
    if (n <= 0) {
        // Unbuffered, the peer's close shows as a failed read.
        if (n < 0 && tcp_->state() != QAbstractSocket::ConnectedState)
            OnTcpGone();
        return;
    }
    if (finished_)
        return;
    if (static_cast<std::size_t>(n) > room) {
        Overflow(QStringLiteral("The device sent more than %1 bytes while an answer was being handled")
                     .arg(kMaxHeldTcpBytes));
        return;
    }
    Keep(scratch, static_cast<std::size_t>(n));
    // One event stands for everything received until it is handled; its
    // handler may close the socket, which is not touched after it.
    PostData();
}

void QtSocket::Keep(const char* bytes, std::size_t n)
{
    tcpReceived_.insert(tcpReceived_.end(), bytes, bytes + n);
    const std::int32_t now = Now();
    const std::int64_t nowMicros = NowMicros();
    // With an arrival clock, marks of one tick stay apart as long as they
    // are few; past that, as without one, the last mark grows.
    constexpr std::size_t kMicroMarks = 64;
    if (!tcpMarks_.empty() && tcpMarks_.back().tick == now
        && (!micros_ || tcpMarks_.back().micros == nowMicros || tcpMarks_.size() >= kMicroMarks)) {
        tcpMarks_.back().end = tcpReceived_.size();
        tcpMarks_.back().micros = nowMicros;
    } else {
        tcpMarks_.push_back({tcpReceived_.size(), now, nowMicros});
    }
}

void QtSocket::OnTcpGone()
{
    if (tcp_->error() == QAbstractSocket::RemoteHostClosedError)
        OnTcpDisconnected();
    else
        OnTcpError();
}

void QtSocket::OnTcpDisconnected()
{
    if (!tcpOpen_)
        return; // closed by us
    tcpOpen_ = false;
    tcpReady_ = false;
    if (tcp_->bytesAvailable() > 0)
        ReadTcp();
    if (finished_)
        return;
    finished_ = true;
    Post(EventKind::Close);
}

void QtSocket::OnTcpError()
{
    // The peer's close is reported by the disconnected signal.
    if (tcp_->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    if (tcp_->state() != QAbstractSocket::ConnectedState)
        tcpOpen_ = false;
    PostError(SocketErrorText(*tcp_));
}

void QtSocket::StartUdp()
{
    if (host_.trimmed().isEmpty()) {
        udpTarget_ = UdpTarget::Failed;
        PostError(QStringLiteral("No remote host given"));
        return;
    }
    QHostAddress address;
    if (address.setAddress(host_)) {
        UseUdpAddress(address);
        return;
    }
    udpTarget_ = UdpTarget::LookingUp;
    lookupId_ = QHostInfo::lookupHost(host_, this, SLOT(OnLookedUp(QHostInfo)));
}

void QtSocket::OnLookedUp(const QHostInfo& info)
{
    if (info.lookupId() != lookupId_)
        return;
    lookupId_ = -1;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        udpTarget_ = UdpTarget::Failed;
        udpHeld_.clear();
        const QString reason = info.errorString().isEmpty() ? QStringLiteral("Host not found") : info.errorString();
        PostError(QStringLiteral("%1: %2").arg(reason, host_));
        return;
    }
    // An IPv4 address is preferred: a device answers on IPv4 more often.
    QHostAddress chosen = info.addresses().front();
    for (const QHostAddress& address : info.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            chosen = address;
            break;
        }
    }
    UseUdpAddress(chosen);
}

void QtSocket::UseUdpAddress(const QHostAddress& given)
{
    const QHostAddress address = Plain(given);
    const auto family = address.protocol();
    if (address.isNull() || (family != QAbstractSocket::IPv4Protocol && family != QAbstractSocket::IPv6Protocol)
        || address.isMulticast() || address.isBroadcast()) {
        udpTarget_ = UdpTarget::Failed;
        udpHeld_.clear();
        PostError(QStringLiteral("Not a usable device address: %1").arg(host_));
        return;
    }

    if (!udp_) {
        udp_ = new QUdpSocket(this);
        udp_->setProxy(QNetworkProxy::NoProxy);
        connect(udp_, &QUdpSocket::readyRead, this, &QtSocket::ReadUdp);
        // Errors of reads and writes are handled where they happen.
        connect(udp_, &QUdpSocket::errorOccurred, this, [this] {
            if (udp_->state() == QAbstractSocket::UnconnectedState && udpTarget_ == UdpTarget::Ready)
                udpTarget_ = UdpTarget::Refused;
        });
    }
    if (udp_->state() != QAbstractSocket::UnconnectedState)
        udp_->abort();

    // A port of the system's choosing; on loopback only when the device is.
    const bool v4 = family == QAbstractSocket::IPv4Protocol;
    QHostAddress local;
    if (address.isLoopback())
        local = QHostAddress(v4 ? QHostAddress::LocalHost : QHostAddress::LocalHostIPv6);
    else
        local = QHostAddress(v4 ? QHostAddress::AnyIPv4 : QHostAddress::AnyIPv6);
    // Connected to the device: the system then takes datagrams from its
    // address and port only, and a datagram is sent and read with no address
    // to build or compare on the way.
    if (!udp_->bind(local, 0)
        || (udp_->connectToHost(address, port_), udp_->state() != QAbstractSocket::ConnectedState)) {
        udpTarget_ = UdpTarget::Failed;
        udpHeld_.clear();
        PostError(SocketErrorText(*udp_));
        return;
    }

    udpAddress_ = address;
    udpTarget_ = UdpTarget::Ready;
    for (std::size_t i = 0; i < udpHeld_.size() && udpTarget_ == UdpTarget::Ready; ++i)
        SendDatagram(udpHeld_[i]);
    udpHeld_.clear();
}

void QtSocket::SendDatagram(std::span<const std::uint8_t> datagram)
{
    const auto write = [&] {
        return udp_->write(reinterpret_cast<const char*>(datagram.data()), static_cast<qint64>(datagram.size()));
    };
    qint64 written = write();
    // The system may report to this send that the device's port refused an
    // earlier datagram: no failure of this one, which goes out over a new
    // connection.
    if (written < 0) {
        UseUdpAddress(udpAddress_);
        if (udpTarget_ != UdpTarget::Ready)
            return;
        written = write();
    }
    if (written < 0) {
        udpTarget_ = UdpTarget::Failed;
        PostError(SocketErrorText(*udp_));
    }
}

void QtSocket::ReadUdp()
{
    // One datagram per signal: reading it lets Qt signal again for the next
    // one. Where no signal comes (a handler runs), ReadWaiting drains.
    if (TakeDatagram())
        PostData();
}

bool QtSocket::TakeDatagram()
{
    char* scratch = Scratch();
    const qint64 n = udp_->read(scratch, kMaxDatagram);
    if (n < 0 && udp_->state() != QAbstractSocket::ConnectedState) {
        // The system reports what became of an earlier datagram (the
        // device's port refused it, the host was unreachable), and Qt drops
        // the connection. As for a datagram lost, no answer comes; the next
        // send connects again.
        udpTarget_ = UdpTarget::Refused;
        return false;
    }
    if (n <= 0 || finished_ || udpTarget_ != UdpTarget::Ready)
        return false;
    if (udpCount_ == udpRing_.size()) {
        Overflow(QStringLiteral("The device sent more than %1 datagrams while an answer was being handled")
                     .arg(kMaxHeldDatagrams));
        return false;
    }
    Datagram& slot = udpRing_[(udpFirst_ + udpCount_) % udpRing_.size()];
    slot.bytes.assign(scratch, scratch + n);
    slot.tick = Now();
    slot.micros = NowMicros();
    ++udpCount_;
    return true;
}

} // namespace platform
