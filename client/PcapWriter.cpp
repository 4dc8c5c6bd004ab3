#include "PcapWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace client {

namespace {

// Block types and the section's byte order mark; blocks are written
// little-endian, which the mark tells the reader.
constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kShbUserAppl = 4;
constexpr std::uint16_t kEpbFlags = 2;         // bits 0..1: 1 inbound, 2 outbound
constexpr std::uint16_t kLinkTypeRawIp = 101;  // packets start with their IPv4 or IPv6 header

constexpr std::size_t kIpv4Header = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kTcpHeader = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::uint8_t kProtoTcp = 6;
constexpr std::uint8_t kProtoUdp = 17;
constexpr std::uint8_t kTcpPshAck = 0x18;
constexpr std::uint8_t kTtl = 64;
// The most a packet carries: its length fields are 16 bits.
constexpr std::size_t kMaxSegment = 65000;

void PutLe16(std::vector<std::uint8_t>& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutLe32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void SetLe32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v)
{
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void SetBe16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

void SetBe32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v)
{
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

void PadTo4(std::vector<std::uint8_t>& b)
{
    while (b.size() % 4 != 0)
        b.push_back(0);
}

// Starts a block: its type and a length filled in by EndBlock().
std::size_t BeginBlock(std::vector<std::uint8_t>& b, std::uint32_t type)
{
    const std::size_t start = b.size();
    PutLe32(b, type);
    PutLe32(b, 0);
    return start;
}

void EndBlock(std::vector<std::uint8_t>& b, std::size_t start)
{
    const auto length = static_cast<std::uint32_t>(b.size() - start + 4);
    PutLe32(b, length);
    SetLe32(b, start + 4, length);
}

// The ones' complement sum of the Internet checksum, not yet folded.
std::uint32_t Sum(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0)
{
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2)
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (i < bytes.size())
        sum += static_cast<std::uint32_t>(bytes[i] << 8);
    return sum;
}

std::uint16_t Fold(std::uint64_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::string SystemText()
{
    const int e = errno;
    return e != 0 ? std::generic_category().message(e) : std::string("write failed");
}

} // namespace

std::filesystem::path PathFromUtf8(std::string_view utf8)
{
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

PcapWriter::~PcapWriter()
{
    Close();
}

bool PcapWriter::Open(const std::filesystem::path& path, std::string_view application)
{
    path_ = path;
    errno = 0;
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_.is_open()) {
        failed_ = true;
        failure_ = SystemText();
        return false;
    }
    std::vector<std::uint8_t>& b = held_;
    const std::size_t shb = BeginBlock(b, kSectionHeader);
    PutLe32(b, kByteOrderMagic);
    PutLe16(b, 1); // version 1.0
    PutLe16(b, 0);
    PutLe32(b, 0xFFFFFFFF); // section length not given
    PutLe32(b, 0xFFFFFFFF);
    PutLe16(b, kShbUserAppl);
    PutLe16(b, static_cast<std::uint16_t>(application.size()));
    b.insert(b.end(), application.begin(), application.end());
    PadTo4(b);
    PutLe16(b, kOptEnd);
    PutLe16(b, 0);
    EndBlock(b, shb);

    const std::size_t idb = BeginBlock(b, kInterfaceDescription);
    PutLe16(b, kLinkTypeRawIp);
    PutLe16(b, 0);
    PutLe32(b, 0); // no snapshot length: packets are whole
    EndBlock(b, idb);
    return Flush();
}

bool PcapWriter::Add(const CaptureLink& link, bool sent, std::int64_t unixMicros, std::span<const std::uint8_t> payload,
                     std::size_t originalSize)
{
    if (failed_ || !out_.is_open())
        return false;
    const std::size_t length = std::max(originalSize, payload.size());
    if (link.protocol == platform::Protocol::Udp) {
        AddPacket(link, sent, unixMicros, payload.first(std::min(payload.size(), kMaxSegment)),
                  std::min(length, kMaxSegment), 0, 0);
    } else {
        if (streams_.size() >= kMaxStreams)
            streams_.clear(); // numbers start again; what tools see stays whole per connection
        Stream& s = streams_[StreamKey{link.local.address, link.local.port, link.peer.address, link.peer.port}];
        for (std::size_t done = 0; done < length || done == 0; done += kMaxSegment) {
            const std::size_t part = std::min(kMaxSegment, length - done);
            const std::size_t kept = done < payload.size() ? std::min(part, payload.size() - done) : 0;
            const std::uint32_t seq = sent ? s.clientNext : s.deviceNext;
            const std::uint32_t ack = sent ? s.deviceNext : s.clientNext;
            AddPacket(link, sent, unixMicros, payload.subspan(std::min(done, payload.size()), kept), part, seq, ack);
            (sent ? s.clientNext : s.deviceNext) += static_cast<std::uint32_t>(part);
            if (part == 0)
                break;
        }
    }
    if (held_.size() >= kFlushBytes)
        return Flush();
    return !failed_;
}

void PcapWriter::AddPacket(const CaptureLink& link, bool sent, std::int64_t unixMicros,
                           std::span<const std::uint8_t> payload, std::size_t originalPayload, std::uint32_t seq,
                           std::uint32_t ack)
{
    const platform::Endpoint& src = sent ? link.local : link.peer;
    const platform::Endpoint& dst = sent ? link.peer : link.local;
    // Both ends in one family: an end not known takes the other's family
    // with a zero address.
    const bool v6 = src.size == 16 || dst.size == 16;
    const std::size_t addrSize = v6 ? 16 : 4;
    const bool tcp = link.protocol == platform::Protocol::Tcp;
    const std::uint8_t proto = tcp ? kProtoTcp : kProtoUdp;
    const std::size_t ipHeader = v6 ? kIpv6Header : kIpv4Header;
    const std::size_t l4Header = tcp ? kTcpHeader : kUdpHeader;
    const std::size_t l4Length = l4Header + originalPayload;

    std::vector<std::uint8_t>& p = packet_;
    p.assign(ipHeader + l4Header, 0);
    p.insert(p.end(), payload.begin(), payload.end());
    const auto copyAddress = [&](std::size_t at, const platform::Endpoint& e) {
        if (e.size == addrSize)
            std::copy_n(e.address.begin(), addrSize, p.begin() + static_cast<std::ptrdiff_t>(at));
    };
    std::size_t srcAt = 0;
    if (v6) {
        p[0] = 0x60; // version 6, no traffic class or flow label
        SetBe16(p, 4, static_cast<std::uint16_t>(l4Length));
        p[6] = proto;
        p[7] = kTtl;
        srcAt = 8;
    } else {
        p[0] = 0x45; // version 4, five words of header
        SetBe16(p, 2, static_cast<std::uint16_t>(ipHeader + l4Length));
        SetBe16(p, 4, ipId_++);
        p[6] = 0x40; // don't fragment
        p[8] = kTtl;
        p[9] = proto;
        srcAt = 12;
    }
    copyAddress(srcAt, src);
    copyAddress(srcAt + addrSize, dst);
    if (!v6)
        SetBe16(p, 10, Fold(Sum(std::span(p).first(kIpv4Header))));

    const std::size_t l4 = ipHeader;
    SetBe16(p, l4, src.port);
    SetBe16(p, l4 + 2, dst.port);
    if (tcp) {
        SetBe32(p, l4 + 4, seq);
        SetBe32(p, l4 + 8, ack);
        p[l4 + 12] = static_cast<std::uint8_t>((kTcpHeader / 4) << 4);
        p[l4 + 13] = kTcpPshAck;
        SetBe16(p, l4 + 14, 0xFFFF); // window
    } else {
        SetBe16(p, l4 + 4, static_cast<std::uint16_t>(l4Length));
    }
    // The pseudo-header: both addresses, the protocol and the length.
    std::uint64_t sum = Sum(std::span(p).subspan(srcAt, 2 * addrSize));
    sum += proto;
    sum += static_cast<std::uint32_t>(l4Length);
    sum += Sum(std::span(p).subspan(l4));
    std::uint16_t check = Fold(sum);
    if (!tcp && check == 0)
        check = 0xFFFF; // 0 would mean none
    SetBe16(p, l4 + (tcp ? 16 : 6), check);

    const std::size_t block = BeginBlock(held_, kEnhancedPacket);
    const auto stamp = static_cast<std::uint64_t>(unixMicros);
    PutLe32(held_, 0); // the one interface
    PutLe32(held_, static_cast<std::uint32_t>(stamp >> 32));
    PutLe32(held_, static_cast<std::uint32_t>(stamp));
    PutLe32(held_, static_cast<std::uint32_t>(p.size()));
    PutLe32(held_, static_cast<std::uint32_t>(ipHeader + l4Length));
    held_.insert(held_.end(), p.begin(), p.end());
    PadTo4(held_);
    PutLe16(held_, kEpbFlags);
    PutLe16(held_, 4);
    PutLe32(held_, sent ? 2 : 1);
    PutLe16(held_, kOptEnd);
    PutLe16(held_, 0);
    EndBlock(held_, block);
    ++packets_;
}

bool PcapWriter::Flush()
{
    if (failed_ || !out_.is_open())
        return false;
    if (held_.empty())
        return true;
    errno = 0;
    out_.write(reinterpret_cast<const char*>(held_.data()), static_cast<std::streamsize>(held_.size()));
    out_.flush();
    if (!out_) {
        Fail(SystemText());
        return false;
    }
    written_ += held_.size();
    held_.clear();
    return true;
}

void PcapWriter::Fail(std::string reason)
{
    failed_ = true;
    failure_ = std::move(reason);
    held_.clear();
    held_.shrink_to_fit();
    streams_.clear();
    out_.close();
    // Part of a block may have reached the file: cut it off, so that the
    // file ends with a whole packet. A device file (or any that cannot be
    // cut) is left as it is.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(path_, ignored)
        && std::filesystem::file_size(path_, ignored) > written_)
        std::filesystem::resize_file(path_, written_, ignored);
}

bool PcapWriter::Close()
{
    if (!out_.is_open())
        return !failed_;
    if (!Flush())
        return false;
    out_.close();
    if (out_.fail()) {
        Fail(SystemText());
        return false;
    }
    return true;
}

bool SaveCapture(const std::filesystem::path& path, std::string_view application, std::span<const CaptureFrame> frames,
                 std::string* error)
{
    PcapWriter writer;
    bool ok = writer.Open(path, application);
    for (std::size_t i = 0; ok && i < frames.size(); ++i) {
        const CaptureFrame& f = frames[i];
        ok = writer.Add(f.link, f.sent, f.unixMicros, f.bytes, f.length);
    }
    ok = ok && writer.Close();
    if (!ok && error)
        *error = writer.Failure();
    return ok;
}

} // namespace client
