#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class Protocol { Tcp, Udp };

// What the socket reports. Events are delivered one at a time on the window's
// event thread, never from inside another event's handler.
class ISocketEvents {
public:
    virtual ~ISocketEvents() = default;
    virtual void tcpClient_Connect() = 0;
    virtual void tcpClient_DataArrival(std::size_t bytesTotal) = 0;
    virtual void tcpClient_Close() = 0;
    virtual void tcpClient_Error(const std::string& description) = 0;
};

// The one socket of the client, TCP or UDP as chosen before use.
class ISocket {
public:
    virtual ~ISocket() = default;

    virtual void SetListener(ISocketEvents* events) = 0;

    virtual void SetProtocol(Protocol protocol) = 0;
    virtual Protocol GetProtocol() const = 0;
    virtual void SetRemoteHost(std::string_view host) = 0;
    virtual void SetRemotePort(std::uint16_t port) = 0;

    // TCP: starts the connection and returns at once; Connect or Error follows.
    virtual void Connect() = 0;

    // Sends the whole array in one call: over TCP appended to the stream (held
    // until the connection is up if it is still being made), over UDP as one
    // datagram to the remote host and port.
    virtual void SendData(std::span<const std::uint8_t> bytes) = 0;

    // Replaces `out` with the bytes received and not yet fetched: over TCP all
    // of them, over UDP one datagram.
    virtual void GetData(std::vector<std::uint8_t>& out) = 0;

    // Safe in any state, also when never opened or already closed.
    virtual void Close() = 0;
};

} // namespace platform
