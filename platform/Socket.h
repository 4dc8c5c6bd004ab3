#pragma once

#include "MonotonicClock.h"
#include "TickCounter.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class Protocol { Tcp, Udp };

// One end of a connection: an IPv4 address (4 bytes) or an IPv6 one (16),
// in network order, and a port; size 0 when not known.
struct Endpoint {
    std::array<std::uint8_t, 16> address{};
    std::uint8_t size = 0;
    std::uint16_t port = 0;
    bool Known() const { return size != 0; }
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// What the socket reports. Events are delivered one at a time on the window's
// event thread, never from inside another event's handler. An event is
// delivered as soon as it happens when no handler runs; what happens while one
// runs (a modal box inside it) waits until it has returned.
class ISocketEvents {
public:
    virtual ~ISocketEvents() = default;
    virtual void tcpClient_Connect() = 0;
    virtual void tcpClient_DataArrival(std::size_t bytesTotal) = 0;
    virtual void tcpClient_Close() = 0;
    virtual void tcpClient_Error(const std::string& description) = 0;
};

// The socket holds no more than this much that was received and not fetched:
// over TCP one largest frame (a 20-byte header and a 16-bit body length) of
// bytes, over UDP this many datagrams. A device that sends more than that
// while an answer is being handled is reported as a socket error.
inline constexpr std::size_t kMaxHeldTcpBytes = 20 + 0xFFFF;
inline constexpr std::size_t kMaxHeldDatagrams = 64;

// The one socket of the client, TCP or UDP as chosen before use.
class ISocket {
public:
    virtual ~ISocket() = default;

    virtual void SetListener(ISocketEvents* events) = 0;

    // The counter that stamps arrivals (ArrivalTick). The client logic hands
    // it the counter it stamps its sends with, so that both come from one
    // clock. Without one, arrivals are stamped 0.
    virtual void SetTickCounter(ITickCounter* ticks) = 0;

    virtual void SetProtocol(Protocol protocol) = 0;
    virtual Protocol GetProtocol() const = 0;
    virtual void SetRemoteHost(std::string_view host) = 0;
    virtual void SetRemotePort(std::uint16_t port) = 0;

    // TCP: starts the connection and returns at once; Connect or Error follows.
    virtual void Connect() = 0;

    // Sends the whole array in one call: over TCP appended to the stream and
    // written at once; while the connection is being made, held and written
    // right before the Connect event is delivered, so that a time taken in
    // that handler is when they went out. Over UDP one datagram to the remote
    // host and port.
    virtual void SendData(std::span<const std::uint8_t> bytes) = 0;

    // Replaces `out` with the bytes received and not yet fetched: over TCP all
    // of them, over UDP one datagram.
    virtual void GetData(std::vector<std::uint8_t>& out) = 0;

    // Tick count at which byte `offset` of what the last GetData fetched
    // arrived at the socket (an offset past the end counts as the last byte).
    // Time spent in a handler (a modal box) before the fetch does not count.
    virtual std::int32_t ArrivalTick(std::size_t offset) const = 0;

    // A microsecond clock that stamps arrivals as well, for a view that
    // times answers finer than the tick counter; null (the default) for none,
    // and then arrivals are stamped by the tick counter alone.
    virtual void SetArrivalClock(IMonotonicClock* clock) { (void)clock; }
    // As ArrivalTick, in microseconds of the arrival clock; 0 without one,
    // and for bytes received while there was none.
    virtual std::int64_t ArrivalMicros(std::size_t offset) const
    {
        (void)offset;
        return 0;
    }

    // The connection's own end and the device's: TCP once connected, UDP
    // once the first datagram went out; not known (the default) otherwise.
    virtual Endpoint LocalEndpoint() const { return {}; }
    virtual Endpoint PeerEndpoint() const { return {}; }

    // TCP: whether the device's close has come, looked for now, so that no
    // request is written on a connection whose close came right behind an
    // answer. Bytes found are held and raise their event, and a close found
    // raises the Close event, both once the caller's handler has returned.
    virtual bool PeerClosed() { return false; }

    // Safe in any state, also when never opened or already closed.
    virtual void Close() = 0;
};

} // namespace platform
