#include "Requests.h"

#include "DataType.h"
#include "HexText.h"
#include "Texts.h"
#include "Wire.h"

#include <algorithm>
#include <cassert>

namespace modZeva {

namespace {

// Fixed part of the request bodies.
inline constexpr std::uint16_t kOneBlock = 1;        // one variable per request
inline constexpr std::size_t kReadBodyFixed = 10;    // bytes 20..29
inline constexpr std::size_t kWriteBodyFixed = 12;   // bytes 20..29 and the data size
inline constexpr std::size_t kStatusBodySize = 6;    // bytes 20..25
inline constexpr std::size_t kDataSizeField = 2;     // write: the data size after the name

// One step of a UTF-8 decoder. Returns the code point of the sequence at
// text[at] and moves `at` past it; for a byte that does not start a valid
// sequence (overlong forms, surrogates and values above U+10FFFF included)
// returns -1 and moves past that one byte.
std::int32_t NextCodePoint(std::string_view text, std::size_t& at)
{
    const auto byteAt = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byteAt(at);
    if (lead < 0x80) {
        ++at;
        return lead;
    }

    // C2..DF lead two bytes, E0..EF three, F0..F4 four; C0, C1 and F5 up
    // could only start overlong forms or values above U+10FFFF.
    if (lead < 0xC2 || lead > 0xF4) {
        ++at;
        return -1;
    }
    const std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    std::int32_t cp = lead & (0x3F >> extra);
    // The first continuation byte's range: narrower after E0 and F0 (no
    // overlong form), ED (no surrogate) and F4 (nothing above U+10FFFF).
    const std::uint8_t lo = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const std::uint8_t hi = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;

    if (text.size() - at <= extra) {
        ++at;
        return -1;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
        const std::uint8_t c = byteAt(at + k);
        const std::uint8_t min = k == 1 ? lo : 0x80;
        const std::uint8_t max = k == 1 ? hi : 0xBF;
        if (c < min || c > max) {
            ++at;
            return -1;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    at += extra + 1;
    return cp;
}

// Every upper case UpperCodePoint() yields lies below U+0800.
void AppendUtf8(std::string& out, std::int32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Upper case of the characters the window can turn into one frame byte;
// everything else is left as it is.
std::int32_t UpperCodePoint(std::int32_t cp)
{
    if (cp >= 'a' && cp <= 'z')
        return cp - 0x20;
    if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7)
        return cp - 0x20;
    if (cp == 0xFF)
        return 0x178; // y with diaeresis has no upper case in Latin-1
    if (cp == 0xB5)
        return 0x39C; // micro sign
    return cp;
}

// A name as it goes into a frame: one byte per character, its Latin-1 code.
struct NameScan {
    std::size_t chars = 0;
    bool fitsInBytes = true;
};

NameScan ScanName(std::string_view name)
{
    NameScan scan;
    for (std::size_t at = 0; at < name.size();) {
        const std::int32_t cp = NextCodePoint(name, at);
        if (cp < 1 || cp > 0xFF)
            scan.fitsInBytes = false;
        ++scan.chars;
    }
    return scan;
}

// Only called for a name that ScanName accepted.
void PutName(std::span<std::uint8_t> out, std::string_view name)
{
    std::size_t i = 0;
    for (std::size_t at = 0; at < name.size();)
        out[i++] = static_cast<std::uint8_t>(NextCodePoint(name, at));
}

// The codes a request may carry in bytes 22..23; anything else goes out as 0.
std::uint8_t WireTypeCode(int type)
{
    return TypeSize(type) > 0 ? static_cast<std::uint8_t>(type) : 0;
}

} // namespace

std::string UpperCase(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t from = at;
        const std::int32_t cp = NextCodePoint(text, at);
        const std::int32_t upper = cp < 0 ? cp : UpperCodePoint(cp);
        if (upper == cp)
            out.append(text.substr(from, at - from));
        else
            AppendUtf8(out, upper);
    }
    return out;
}

void MakeHeader(std::vector<std::uint8_t>& frame)
{
    frame.assign(kHeaderSize, 0);
    frame.reserve(kMaxRequestFrame);
    for (std::size_t i = 0; i < kCompanyId.size(); ++i)
        frame[kCompanyIdAt + i] = kCompanyId[i];
    frame[kDirection] = kToDevice;
    putLe16(frame, kInvokeId, 0);
}

namespace {

// Resizes the frame to its length and writes the length byte, the sequence
// number and the checksum over them; the header's other bytes stay as
// MakeHeader() left them.
void StartFrame(std::vector<std::uint8_t>& frame, std::size_t bodyLength, std::uint16_t seq)
{
    assert(frame.size() >= kHeaderSize && "MakeHeader() must run before the first request");
    assert(bodyLength <= kMaxBody);
    frame.resize(kHeaderSize + bodyLength);
    putLe16(frame, kInvokeId, seq);
    putLe16(frame, kBodyLength, static_cast<std::uint16_t>(bodyLength));
    frame[kBcc] = CalcBcc(frame, 0, kBccLast);
}

// Bytes 20..29 and the name, as read and write requests share them.
void PutVariable(std::span<std::uint8_t> frame, std::uint8_t command, int type, std::string_view name,
                 std::size_t nameLength)
{
    putLe16(frame, kCommand, command);
    putLe16(frame, kDataType, WireTypeCode(type));
    putLe16(frame, kReserved, 0);
    putLe16(frame, kBlockCount, kOneBlock);
    putLe16(frame, kNameLength, static_cast<std::uint16_t>(nameLength));
    PutName(frame.subspan(kName, nameLength), name);
}

} // namespace

std::string_view RefusalText(SendResult result)
{
    switch (result) {
    case SendResult::Sent:
    case SendResult::Empty: return {};
    case SendResult::NotHex: return kTextNotHex;
    case SendResult::TooLongForType:
    case SendResult::BodyTooLong: return kTextTooLong;
    case SendResult::BadNameChar: return kTextBadNameChar;
    }
    return {};
}

SendResult BuildReadRequest(std::vector<std::uint8_t>& frame, std::string_view name, int type, std::uint16_t seq)
{
    if (name.empty())
        return SendResult::Empty;
    const NameScan scan = ScanName(name);
    if (kReadBodyFixed + scan.chars > kMaxRequestBody)
        return SendResult::BodyTooLong;
    if (!scan.fitsInBytes)
        return SendResult::BadNameChar;

    StartFrame(frame, kReadBodyFixed + scan.chars, seq);
    PutVariable(frame, kReadRequest, type, name, scan.chars);
    return SendResult::Sent;
}

SendResult BuildWriteRequest(std::vector<std::uint8_t>& frame, std::string_view name, std::string_view value,
                             int type, std::size_t size, std::uint16_t seq)
{
    if (name.empty() || value.empty())
        return SendResult::Empty;
    for (const char c : value) {
        if (!IsHexDigit(c))
            return SendResult::NotHex;
    }
    const std::size_t valueBytes = (value.size() + 1) / 2;
    if (valueBytes > size)
        return SendResult::TooLongForType;
    const NameScan scan = ScanName(name);
    if (kWriteBodyFixed + scan.chars + size > kMaxRequestBody)
        return SendResult::BodyTooLong;
    if (!scan.fitsInBytes)
        return SendResult::BadNameChar;

    const std::size_t n = scan.chars;
    StartFrame(frame, kWriteBodyFixed + n + size, seq);
    PutVariable(frame, kWriteRequest, type, name, n);
    putLe16(frame, kName + n, static_cast<std::uint16_t>(size));

    HexToBytes(value, std::span(frame).subspan(kName + n + kDataSizeField, size));
    return SendResult::Sent;
}

void BuildStatusRequest(std::vector<std::uint8_t>& frame, std::uint16_t seq)
{
    StartFrame(frame, kStatusBodySize, seq);
    putLe16(frame, kCommand, kStatusRequest);
    putLe16(frame, kCommand + 2, 0);
    putLe16(frame, kCommand + 4, 0);
}

SendResult BuildBodyRequest(std::vector<std::uint8_t>& frame, std::span<const std::uint8_t> body, std::uint16_t seq)
{
    if (body.size() > kMaxBody)
        return SendResult::BodyTooLong;
    StartFrame(frame, body.size(), seq);
    std::copy(body.begin(), body.end(), frame.begin() + kHeaderSize);
    return SendResult::Sent;
}

std::optional<std::uint16_t> FrameSequence(std::span<const std::uint8_t> frame)
{
    if (frame.size() < kInvokeId + 2)
        return std::nullopt;
    return getLe16(frame, kInvokeId);
}

std::optional<std::uint8_t> FrameCommand(std::span<const std::uint8_t> frame)
{
    if (frame.size() <= kCommand)
        return std::nullopt;
    return frame[kCommand];
}

int ReadAnswerSize(std::span<const std::uint8_t> frame)
{
    if (frame.size() < kReadDataSize + 2)
        return 0;
    return getLe16(frame, kReadDataSize);
}

} // namespace modZeva
