#pragma once

#include <PcapWriter.h>

#include <QString>

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

namespace cli {

// --pcap: the frames of every device of the run to one capture file, time
// stamped on the system clock from the monotonic clock's readings that
// --trace shows. A write that fails stops the capture with a message on
// standard error, once; the run goes on.
class Capture {
public:
    // `nowMicros`: the monotonic clock's reading now.
    Capture(const QString& path, std::FILE* err, std::int64_t nowMicros);

    // Creates the file; false with the reason.
    bool Open(QString* error);
    void Add(const client::CaptureLink& link, bool sent, std::int64_t micros, std::span<const std::uint8_t> frame);
    void Flush();
    void Close();

private:
    void Report();

    QString path_;
    std::FILE* err_;
    std::int64_t toUnix_; // add to a monotonic reading for microseconds since 1970
    client::PcapWriter writer_;
    bool reported_ = false;
};

// One device's frames for the capture. Each goes with the addresses and
// ports of its connection as the socket tells them; a frame sent before the
// socket knows its own end (the first datagram) is held until the next.
class DeviceCapture {
public:
    DeviceCapture(Capture& capture, const platform::ISocket& socket) : capture_(capture), socket_(socket) {}

    void Frame(bool sent, std::span<const std::uint8_t> frame, std::int64_t micros);
    // Writes a frame held, with what the socket now knows.
    void Settle();

private:
    client::CaptureLink Link();

    Capture& capture_;
    const platform::ISocket& socket_;
    client::CaptureLink last_; // the last connection whose ends were known
    std::vector<std::uint8_t> held_;
    std::int64_t heldMicros_ = 0;
    bool holding_ = false;
};

} // namespace cli
