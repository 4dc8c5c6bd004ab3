#include "QtSocket.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QPointer>
#include <QTcpSocket>
#include <QUdpSocket>

namespace platform {

namespace {

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

} // namespace

QtSocket::QtSocket(QObject* parent) : QObject(parent) {}

QtSocket::~QtSocket()
{
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
    if (!tcp_) {
        tcp_ = new QTcpSocket(this);
        connect(tcp_, &QTcpSocket::connected, this, &QtSocket::OnTcpConnected);
        connect(tcp_, &QTcpSocket::readyRead, this, &QtSocket::OnTcpReadyRead);
        connect(tcp_, &QTcpSocket::disconnected, this, &QtSocket::OnTcpDisconnected);
        connect(tcp_, &QTcpSocket::errorOccurred, this, &QtSocket::OnTcpError);
    }
    tcp_->abort();
    tcpHeld_.clear();
    tcpReceived_.clear();
    finished_ = false;
    tcpOpen_ = true;
    // A literal IPv4 or IPv6 address is used as it is; a host name is looked
    // up, and each of its addresses is tried in turn.
    tcp_->connectToHost(host_, port_);
}

void QtSocket::SendData(std::span<const std::uint8_t> bytes)
{
    if (finished_)
        return;

    if (protocol_ == Protocol::Tcp) {
        if (tcp_ && tcp_->state() == QAbstractSocket::ConnectedState) {
            tcp_->write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        } else if (tcpOpen_) {
            // Still connecting: written as soon as the connection is up.
            tcpHeld_.insert(tcpHeld_.end(), bytes.begin(), bytes.end());
        } else {
            PostError(QStringLiteral("The socket is not connected"));
        }
        return;
    }

    if (udpTarget_ == UdpTarget::Unknown)
        StartUdp();
    if (udpTarget_ == UdpTarget::LookingUp)
        udpHeld_.emplace_back(bytes.begin(), bytes.end());
    else if (udpTarget_ == UdpTarget::Ready)
        SendDatagram(bytes);
}

void QtSocket::GetData(std::vector<std::uint8_t>& out)
{
    if (protocol_ == Protocol::Tcp) {
        out.assign(tcpReceived_.begin(), tcpReceived_.end());
        tcpReceived_.clear();
        return;
    }
    if (udpReceived_.empty()) {
        out.clear();
        return;
    }
    out.assign(udpReceived_.front().begin(), udpReceived_.front().end());
    udpReceived_.pop_front();
}

void QtSocket::Close()
{
    Reset();
    finished_ = true;
}

void QtSocket::Reset()
{
    events_.clear();
    dataEventPending_ = false;

    tcpOpen_ = false;
    tcpHeld_.clear();
    tcpReceived_.clear();
    if (tcp_)
        tcp_->abort();

    lookupId_ = -1;
    udpTarget_ = UdpTarget::Unknown;
    udpHeld_.clear();
    udpReceived_.clear();
    if (udp_)
        udp_->abort();
}

std::uint16_t QtSocket::LocalPort() const
{
    if (protocol_ == Protocol::Tcp)
        return tcp_ ? tcp_->localPort() : 0;
    return udp_ ? udp_->localPort() : 0;
}

void QtSocket::Post(Event event)
{
    events_.push_back(std::move(event));
    // Inside a handler the delivering loop picks the event up once the
    // handler has returned.
    if (deliverQueued_ || inHandler_)
        return;
    deliverQueued_ = true;
    QMetaObject::invokeMethod(this, &QtSocket::Deliver, Qt::QueuedConnection);
}

void QtSocket::PostError(const QString& description)
{
    if (finished_)
        return;
    finished_ = true;
    Post({EventKind::Error, 0, description.toStdString()});
}

void QtSocket::Deliver()
{
    deliverQueued_ = false;
    if (inHandler_)
        return;

    QPointer<QtSocket> alive(this);
    while (!events_.empty()) {
        Event event = std::move(events_.front());
        events_.pop_front();
        if (event.kind == EventKind::DataArrival && protocol_ == Protocol::Tcp) {
            // Bytes that come during the handler raise a new event.
            dataEventPending_ = false;
            event.bytes = tcpReceived_.size();
        }
        if (!listener_)
            continue;

        inHandler_ = true;
        switch (event.kind) {
        case EventKind::Connect: listener_->tcpClient_Connect(); break;
        case EventKind::DataArrival: listener_->tcpClient_DataArrival(event.bytes); break;
        case EventKind::Close: listener_->tcpClient_Close(); break;
        case EventKind::Error: listener_->tcpClient_Error(event.description); break;
        }
        if (!alive)
            return;
        inHandler_ = false;
    }
}

void QtSocket::OnTcpConnected()
{
    if (!tcpHeld_.empty()) {
        tcp_->write(reinterpret_cast<const char*>(tcpHeld_.data()), static_cast<qint64>(tcpHeld_.size()));
        tcpHeld_.clear();
    }
    Post({EventKind::Connect, 0, {}});
}

void QtSocket::OnTcpReadyRead()
{
    const QByteArray bytes = tcp_->readAll();
    if (bytes.isEmpty() || finished_)
        return;
    tcpReceived_.insert(tcpReceived_.end(), bytes.begin(), bytes.end());
    // One event stands for everything received until it is handled.
    if (!dataEventPending_) {
        dataEventPending_ = true;
        Post({EventKind::DataArrival, 0, {}});
    }
}

void QtSocket::OnTcpDisconnected()
{
    if (!tcpOpen_)
        return; // closed by us
    tcpOpen_ = false;
    if (tcp_->bytesAvailable() > 0)
        OnTcpReadyRead();
    if (finished_)
        return;
    finished_ = true;
    Post({EventKind::Close, 0, {}});
}

void QtSocket::OnTcpError()
{
    // The peer's close is reported by the disconnected signal.
    if (tcp_->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    if (tcp_->state() != QAbstractSocket::ConnectedState)
        tcpOpen_ = false;
    PostError(tcp_->errorString());
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
        connect(udp_, &QUdpSocket::readyRead, this, &QtSocket::OnUdpReadyRead);
        connect(udp_, &QUdpSocket::errorOccurred, this, [this] { PostError(udp_->errorString()); });
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
    if (!udp_->bind(local, 0)) {
        udpTarget_ = UdpTarget::Failed;
        udpHeld_.clear();
        PostError(udp_->errorString());
        return;
    }

    udpAddress_ = address;
    udpTarget_ = UdpTarget::Ready;
    while (!udpHeld_.empty() && udpTarget_ == UdpTarget::Ready) {
        SendDatagram(udpHeld_.front());
        udpHeld_.pop_front();
    }
}

void QtSocket::SendDatagram(std::span<const std::uint8_t> datagram)
{
    const qint64 written = udp_->writeDatagram(reinterpret_cast<const char*>(datagram.data()),
                                               static_cast<qint64>(datagram.size()), udpAddress_, port_);
    if (written < 0) {
        udpTarget_ = UdpTarget::Failed;
        PostError(udp_->errorString());
    }
}

void QtSocket::OnUdpReadyRead()
{
    // Every pending datagram is taken now, or the signal may not come again.
    while (udp_->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = udp_->receiveDatagram();
        if (!datagram.isValid())
            break;
        if (finished_ || udpTarget_ != UdpTarget::Ready)
            continue;
        // Only the device's answers count; anything else is dropped unread.
        if (!Plain(datagram.senderAddress()).isEqual(udpAddress_))
            continue;
        const QByteArray data = datagram.data();
        udpReceived_.emplace_back(data.begin(), data.end());
        Post({EventKind::DataArrival, static_cast<std::size_t>(data.size()), {}});
    }
}

} // namespace platform
