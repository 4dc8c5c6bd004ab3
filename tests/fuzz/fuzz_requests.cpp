// The request builders and their input checks with random names, values and
// types, as the window passes them on: a refused input sends nothing (and
// says why, unless it was empty); a frame that goes out is exactly the
// request asked for, header and checksum included.
//
// The pure builders that take a sequence number build the same frame, with
// that number in bytes 14..15.
//
// Input: byte 0 the command (read, write, status), byte 1 the type code (as
// a signed byte), then the name, a 0 byte, and the value.

#include "FuzzCheck.h"

#include <Fakes.h>
#include <Requests.h>
#include <modZeva.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The code points of valid UTF-8 text; nullopt for anything else.
std::optional<std::vector<std::uint32_t>> CodePoints(std::string_view text)
{
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (b < 0x80) {
            n = 0;
            cp = b;
        } else if (b >= 0xC2 && b <= 0xDF) {
            n = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            n = 2;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 3;
            cp = b & 0x07;
        } else {
            return std::nullopt;
        }
        if (text.size() - i <= n)
            return std::nullopt;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto c = static_cast<std::uint8_t>(text[i + k]);
            if ((c & 0xC0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;
        out.push_back(cp);
        i += n + 1;
    }
    return out;
}

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

unsigned HexValue(char c)
{
    return c <= '9' ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
}

unsigned Le16(const std::vector<std::uint8_t>& f, std::size_t at)
{
    return f[at] | (f[at + 1] << 8);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int op = data[0] % 3;
    const int type = static_cast<std::int8_t>(data[1]);
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t cut = std::min(rest.find('\0'), rest.size());
    const std::string_view typed = rest.substr(0, cut);
    const std::string_view value = cut < rest.size() ? rest.substr(cut + 1) : std::string_view();

    // The window upper-cases the name first; that keeps the byte count and
    // does nothing more a second time.
    const std::string name = modZeva::UpperCase(typed);
    FUZZ_CHECK(name.size() == typed.size());
    FUZZ_CHECK(modZeva::UpperCase(name) == name);

    FakeSocket socket;
    FakeClock clock;
    clock.now = 4711;
    FakeMessageBox box;
    modZeva::Sender sender(socket, clock, box);
    sender.MakeHeader();
    modZeva::SendResult result = modZeva::SendResult::Sent;
    switch (op) {
    case 0: result = sender.SendReadRequest(name, type); break;
    case 1: result = sender.SendWriteRequest(name, value, type); break;
    default: result = sender.SendStatusRequest(); break;
    }

    // The same request through the builder the command-line client uses.
    const auto seq = static_cast<std::uint16_t>(size * 40503u + data[0]);
    std::vector<std::uint8_t> built;
    modZeva::MakeHeader(built);
    modZeva::SendResult builtResult = modZeva::SendResult::Sent;
    switch (op) {
    case 0: builtResult = modZeva::BuildReadRequest(built, name, type, seq); break;
    case 1:
        builtResult = modZeva::BuildWriteRequest(built, name, value, type,
                                                 static_cast<std::size_t>(modZeva::TypeSize(type)), seq);
        break;
    default: modZeva::BuildStatusRequest(built, seq); break;
    }
    FUZZ_CHECK(builtResult == result);
    if (result == modZeva::SendResult::Sent) {
        FUZZ_CHECK(socket.sent.size() == 1 && built.size() == socket.sent.front().size());
        FUZZ_CHECK(modZeva::FrameSequence(built) == seq);
        for (std::size_t i = 0; i < built.size(); ++i) {
            if (i != 14 && i != 15 && i != 19)
                FUZZ_CHECK(built[i] == socket.sent.front()[i]);
        }
        unsigned builtSum = 0;
        for (std::size_t i = 0; i < 19; ++i)
            builtSum += built[i];
        FUZZ_CHECK(built[19] == (builtSum & 0xFF));
    }

    if (result != modZeva::SendResult::Sent) {
        FUZZ_CHECK(socket.sent.empty());
        FUZZ_CHECK(box.shown.size() == (result == modZeva::SendResult::Empty ? 0u : 1u));
        FUZZ_CHECK(sender.SendTick() == 0);
        // Why it was refused matches the input.
        if (result == modZeva::SendResult::NotHex)
            FUZZ_CHECK(!std::all_of(value.begin(), value.end(), IsHex));
        if (result == modZeva::SendResult::Empty)
            FUZZ_CHECK(name.empty() || (op == 1 && value.empty()));
        return 0;
    }

    FUZZ_CHECK(socket.sent.size() == 1 && box.shown.empty());
    FUZZ_CHECK(sender.SendTick() == 4711);
    const std::vector<std::uint8_t>& f = socket.sent.front();
    FUZZ_CHECK(f.size() >= 26 && f.size() <= 20 + 255);
    const std::uint8_t header[] = {'V', 'O', 'R', 'N', '-', 'K', 'E', 'L', 'T', 'U', 0, 0, 0, 0x33, 0, 0};
    FUZZ_CHECK(std::equal(std::begin(header), std::end(header), f.begin()));
    FUZZ_CHECK(f[16] == f.size() - 20 && f[17] == 0 && f[18] == 0);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 19; ++i)
        sum += f[i];
    FUZZ_CHECK(f[19] == (sum & 0xFF));

    if (op == 2) {
        const std::vector<std::uint8_t> body = {0xB0, 0, 0, 0, 0, 0};
        FUZZ_CHECK(std::vector<std::uint8_t>(f.begin() + 20, f.end()) == body);
        return 0;
    }

    // The name travels as one byte per character, its Latin-1 code.
    const auto cps = CodePoints(name);
    FUZZ_CHECK(cps.has_value());
    FUZZ_CHECK(std::all_of(cps->begin(), cps->end(), [](std::uint32_t c) { return c >= 1 && c <= 0xFF; }));
    const std::size_t n = cps->size();
    const int typeSize = modZeva::TypeSize(type);
    FUZZ_CHECK(f[20] == (op == 0 ? 0x54 : 0x58) && f[21] == 0);
    FUZZ_CHECK(Le16(f, 22) == (typeSize > 0 ? unsigned(type) : 0u));
    FUZZ_CHECK(Le16(f, 24) == 0 && Le16(f, 26) == 1 && Le16(f, 28) == n);
    for (std::size_t i = 0; i < n; ++i)
        FUZZ_CHECK(f[30 + i] == (*cps)[i]);
    if (op == 0) {
        FUZZ_CHECK(f.size() == 30 + n);
        return 0;
    }

    // Write: the data size, then the value least significant byte first,
    // zero-filled to the type's size.
    const std::size_t s = static_cast<std::size_t>(typeSize);
    FUZZ_CHECK(f.size() == 32 + n + s && Le16(f, 30 + n) == s);
    FUZZ_CHECK(!value.empty() && (value.size() + 1) / 2 <= s);
    for (std::size_t i = 0; i < s; ++i) {
        const std::size_t lo = 2 * i, hi = 2 * i + 1; // digits from the right
        unsigned expected = 0;
        if (lo < value.size())
            expected |= HexValue(value[value.size() - 1 - lo]);
        if (hi < value.size())
            expected |= HexValue(value[value.size() - 1 - hi]) << 4;
        FUZZ_CHECK(f[32 + n + i] == expected);
    }
    return 0;
}
