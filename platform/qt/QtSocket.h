#pragma once

#include <Socket.h>

#include <QHostAddress>
#include <QObject>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class QHostInfo;
class QTcpSocket;
class QUdpSocket;

namespace platform {

// The socket object tcpClient over Qt Network, TCP or UDP as chosen.
//
// Qt's signals are never passed on directly: each one is recorded as an event
// and a queued step delivers the events in order, one at a time. A handler
// that opens a modal box (a nested event loop) therefore never sees another
// event before it returns; what arrived meanwhile follows once it has.
class QtSocket final : public QObject, public ISocket {
    Q_OBJECT

public:
    explicit QtSocket(QObject* parent = nullptr);
    ~QtSocket() override;

    void SetListener(ISocketEvents* events) override { listener_ = events; }
    void SetProtocol(Protocol protocol) override;
    Protocol GetProtocol() const override { return protocol_; }
    void SetRemoteHost(std::string_view host) override;
    void SetRemotePort(std::uint16_t port) override { port_ = port; }

    void Connect() override;
    void SendData(std::span<const std::uint8_t> bytes) override;
    void GetData(std::vector<std::uint8_t>& out) override;
    void Close() override;

    // UDP: the local port answers are received on, 0 before the first send.
    std::uint16_t LocalPort() const;
    // Events recorded and not yet delivered.
    std::size_t PendingEvents() const { return events_.size(); }

private slots:
    // Named as a slot: a lookup bound to a member function pointer leaves
    // Qt's slot object behind when it is still under way at the end.
    void OnLookedUp(const QHostInfo& info);

private:
    enum class EventKind { Connect, DataArrival, Close, Error };
    struct Event {
        EventKind kind;
        std::size_t bytes = 0;
        std::string description;
    };

    // Drops the connection, held and received data and undelivered events.
    void Reset();
    void Post(Event event);
    void PostError(const QString& description);
    void Deliver();

    void OnTcpConnected();
    void OnTcpReadyRead();
    void OnTcpDisconnected();
    void OnTcpError();

    void StartUdp();
    void UseUdpAddress(const QHostAddress& address);
    void SendDatagram(std::span<const std::uint8_t> datagram);
    void OnUdpReadyRead();

    ISocketEvents* listener_ = nullptr;
    Protocol protocol_ = Protocol::Tcp;
    QString host_;
    std::uint16_t port_ = 0;

    QTcpSocket* tcp_ = nullptr;
    QUdpSocket* udp_ = nullptr;

    // TCP: a connection is being made or is up; bytes sent before it is up.
    bool tcpOpen_ = false;
    std::vector<std::uint8_t> tcpHeld_;
    // TCP: bytes received and not yet fetched.
    std::vector<std::uint8_t> tcpReceived_;
    bool dataEventPending_ = false;

    // UDP: the device's address once known; datagrams held while a host name
    // is looked up; datagrams received from the device and not yet fetched.
    enum class UdpTarget { Unknown, LookingUp, Ready, Failed };
    UdpTarget udpTarget_ = UdpTarget::Unknown;
    QHostAddress udpAddress_;
    int lookupId_ = -1;
    std::deque<std::vector<std::uint8_t>> udpHeld_;
    std::deque<std::vector<std::uint8_t>> udpReceived_;

    // Once the peer has closed or an error was reported, nothing more follows.
    bool finished_ = false;

    std::deque<Event> events_;
    bool deliverQueued_ = false;
    bool inHandler_ = false;
};

} // namespace platform
