#pragma once

#include <Socket.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace client {

// The connection a frame went over: the client's end and the device's.
struct CaptureLink {
    platform::Protocol protocol = platform::Protocol::Tcp;
    platform::Endpoint local;
    platform::Endpoint peer;
};

// Writes frames as a pcapng capture that any capture tool opens: one
// section, one interface of raw IP packets with microsecond time stamps, and
// each frame as an IPv4 or IPv6 packet with a TCP or UDP header, checksums
// computed, between the addresses and ports of its connection. A TCP
// stream's sequence and acknowledgement numbers run on from frame to frame
// in each direction, so that a tool puts the stream together again; a
// frame too long for one packet goes out as several segments.
//
// Packets are kept in memory as whole blocks and go to the file on Flush()
// (and by themselves once kFlushBytes are held). A write that fails (a full
// disk) ends the capture: the file is cut back to the last whole block, and
// every later call does nothing.
class PcapWriter {
public:
    static constexpr std::size_t kFlushBytes = 1 << 20;

    PcapWriter() = default;
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    ~PcapWriter();

    // Creates the file and writes the section and interface. `application`
    // names the program and its version ("zeva 0.1"). False with the reason.
    bool Open(const std::filesystem::path& path, std::string_view application);

    // One frame: sent by the client or received from the device, at
    // `unixMicros` since 1970. `originalSize` is the frame's length when
    // `payload` holds only its first bytes (0: the payload is whole).
    // False once the capture has failed.
    bool Add(const CaptureLink& link, bool sent, std::int64_t unixMicros, std::span<const std::uint8_t> payload,
             std::size_t originalSize = 0);

    // Writes what is held to the file. False once the capture has failed.
    bool Flush();
    // Flushes and closes; false if anything failed.
    bool Close();

    bool IsOpen() const { return out_.is_open(); }
    bool Failed() const { return failed_; }
    // Why the capture failed: the system's text.
    const std::string& Failure() const { return failure_; }
    // Packets in the file or held for it.
    std::uint64_t Packets() const { return packets_; }

private:
    void Fail(std::string reason);
    void AddPacket(const CaptureLink& link, bool sent, std::int64_t unixMicros, std::span<const std::uint8_t> payload,
                   std::size_t originalPayload, std::uint32_t seq, std::uint32_t ack);

    // The next sequence number of each direction of a TCP connection.
    struct Stream {
        std::uint32_t clientNext = 1;
        std::uint32_t deviceNext = 1;
    };
    using StreamKey = std::tuple<std::array<std::uint8_t, 16>, std::uint16_t, std::array<std::uint8_t, 16>, std::uint16_t>;
    static constexpr std::size_t kMaxStreams = 4096;

    std::filesystem::path path_;
    std::ofstream out_;
    std::vector<std::uint8_t> held_;   // whole blocks not yet written
    std::vector<std::uint8_t> packet_; // the packet being built
    std::uint64_t written_ = 0;        // bytes of whole blocks in the file
    std::uint64_t packets_ = 0;
    std::uint16_t ipId_ = 0;
    std::map<StreamKey, Stream> streams_;
    bool failed_ = false;
    std::string failure_;
};

// One frame of a capture saved at once, as a window holds it.
struct CaptureFrame {
    CaptureLink link;
    bool sent = false;
    std::int64_t unixMicros = 0;
    std::span<const std::uint8_t> bytes;
    std::size_t length = 0; // the frame's length; more than bytes.size() when only its first bytes were kept
};

// Writes `frames` in order to a new capture file. False with the reason.
bool SaveCapture(const std::filesystem::path& path, std::string_view application, std::span<const CaptureFrame> frames,
                 std::string* error);

// A path from UTF-8 text, as the system names files.
std::filesystem::path PathFromUtf8(std::string_view utf8);

} // namespace client
