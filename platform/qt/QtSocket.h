#pragma once

#include <Socket.h>

#include <QHostAddress>
#include <QObject>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class QHostInfo;
class QTcpSocket;
class QUdpSocket;

namespace platform {

// The socket object tcpClient over Qt Network, TCP or UDP as chosen.
//
// Each Qt signal is recorded as an event. With no handler running, the event
// is delivered at once; while one runs (a modal box inside it), events wait
// and follow in order once it has returned, so handlers never nest. Events
// raised by a call into the socket (a send that fails) are delivered after
// that call has returned.
//
// Bytes are read, and their arrival stamped, as they come, also while a
// handler runs: what the socket holds is bounded (kMaxHeldTcpBytes,
// kMaxHeldDatagrams), and at most one event of each kind waits. Each wake-up
// reads a bounded amount (4 KiB over TCP, one datagram over UDP) and returns
// to the event loop, so that a device sending without pause keeps neither
// the timers nor the other sockets waiting (on Windows, after a full piece
// the next read waits for the next turn of the loop: see OnTcpReadyRead).
class QtSocket final : public QObject, public ISocket {
    Q_OBJECT

public:
    explicit QtSocket(QObject* parent = nullptr);
    ~QtSocket() override;

    void SetListener(ISocketEvents* events) override { listener_ = events; }
    void SetTickCounter(ITickCounter* ticks) override { ticks_ = ticks; }
    void SetProtocol(Protocol protocol) override;
    Protocol GetProtocol() const override { return protocol_; }
    void SetRemoteHost(std::string_view host) override;
    void SetRemotePort(std::uint16_t port) override { port_ = port; }

    void Connect() override;
    void SendData(std::span<const std::uint8_t> bytes) override;
    void GetData(std::vector<std::uint8_t>& out) override;
    std::int32_t ArrivalTick(std::size_t offset) const override;
    void SetArrivalClock(IMonotonicClock* clock) override { micros_ = clock; }
    std::int64_t ArrivalMicros(std::size_t offset) const override;
    bool PeerClosed() override;
    void Close() override;
    Endpoint LocalEndpoint() const override;
    Endpoint PeerEndpoint() const override;

    // UDP: the local port answers are received on, 0 before the first send.
    std::uint16_t LocalPort() const;
    // Events recorded and not yet delivered.
    std::size_t PendingEvents() const { return eventCount_; }
    // Bytes received and not yet fetched.
    std::size_t HeldBytes() const;
    // An error or the peer's close has been recorded: nothing more is taken in.
    bool Ended() const { return finished_; }
    // TCP: whether small writes go out at once (no Nagle delay).
    bool NoDelay() const;

private slots:
    // Named as a slot: a lookup bound to a member function pointer leaves
    // Qt's slot object behind when it is still under way at the end.
    void OnLookedUp(const QHostInfo& info);

private:
    enum class EventKind { Connect, DataArrival, Close, Error };
    struct Event {
        EventKind kind = EventKind::Connect;
        std::string description;
    };
    // Where the bytes received so far end, and when the last of them came.
    struct Mark {
        std::size_t end;
        std::int32_t tick;
        std::int64_t micros;
    };
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        std::int32_t tick = 0;
        std::int64_t micros = 0;
    };
    // The fetched mark that holds byte `offset`.
    const Mark* FetchedMark(std::size_t offset) const;
    std::int64_t NowMicros() const { return micros_ ? micros_->NowMicros() : 0; }

    // Drops the connection, held and received data and undelivered events.
    void Reset();
    std::int32_t Now() const;
    void Post(EventKind kind, std::string description = {});
    void PostError(const QString& description);
    void PostData();
    void Deliver();
    void DeliverQueued();
    // After more was received than the socket holds: the error, and nothing
    // more taken from the device.
    void Overflow(const QString& description);
    // While a handler runs, Qt does not signal what arrives; a nested event
    // loop (a modal box) about to wait is when to look. One connection to
    // the event loop serves every socket of the thread, and looks at those
    // delivering only: a program with a socket a device pays nothing for the
    // others each time the loop waits.
    static void OnAboutToBlock();
    void LookWhileDelivering();
    // Takes in what Qt holds without having signalled it.
    void ReadWaiting();

    void OnTcpConnected();
    void OnTcpReadyRead();
    // The read put off to the next turn of the event loop.
    void ReadAfterTurn();
    void ReadTcp();
    // Appends bytes received, with their arrival mark.
    void Keep(const char* bytes, std::size_t n);
    void OnTcpDisconnected();
    // A read found the connection gone.
    void OnTcpGone();
    void OnTcpError();

    void StartUdp();
    void UseUdpAddress(const QHostAddress& address);
    void SendDatagram(std::span<const std::uint8_t> datagram);
    void ReadUdp();
    // Reads one datagram; true if one was kept.
    bool TakeDatagram();

    ISocketEvents* listener_ = nullptr;
    ITickCounter* ticks_ = nullptr;
    IMonotonicClock* micros_ = nullptr;
    Protocol protocol_ = Protocol::Tcp;
    QString host_;
    std::uint16_t port_ = 0;

    QTcpSocket* tcp_ = nullptr;
    QUdpSocket* udp_ = nullptr;

    // TCP: a connection is being made or is up; the Connect event has been
    // delivered; bytes sent before that.
    bool tcpOpen_ = false;
    bool tcpReady_ = false;
    std::vector<std::uint8_t> tcpHeld_;
    // TCP: bytes received and not yet fetched, with their arrival marks; the
    // marks of what the last GetData fetched.
    std::vector<std::uint8_t> tcpReceived_;
    std::vector<Mark> tcpMarks_;
    std::vector<Mark> fetchedMarks_;

    // UDP: the device's address once known; datagrams held while a host name
    // is looked up; datagrams received from the device and not yet fetched,
    // in a ring; the arrival of the one last fetched.
    // Refused: the system reported an earlier datagram undelivered and Qt
    // dropped the connection; the next send connects again.
    enum class UdpTarget { Unknown, LookingUp, Ready, Refused, Failed };
    UdpTarget udpTarget_ = UdpTarget::Unknown;
    QHostAddress udpAddress_;
    int lookupId_ = -1;
    std::vector<std::vector<std::uint8_t>> udpHeld_;
    std::vector<Datagram> udpRing_;
    std::size_t udpFirst_ = 0;
    std::size_t udpCount_ = 0;
    std::int32_t fetchedTick_ = 0;
    std::int64_t fetchedMicros_ = 0;

    // Once the peer has closed or an error was reported, nothing more follows.
    bool finished_ = false;

    // Undelivered events in order, at most one of each kind.
    std::array<Event, 4> events_;
    std::size_t firstEvent_ = 0;
    std::size_t eventCount_ = 0;
    bool dataEventPending_ = false;
    bool delivering_ = false;
    int inCall_ = 0;
    bool deliverQueued_ = false;
    bool lookAgain_ = false;
    // TCP: the last read filled its piece (more is likely waiting); a read
    // has been put off to the next turn of the event loop.
    bool lastReadFull_ = false;
    bool readAfterTurn_ = false;
};

} // namespace platform
