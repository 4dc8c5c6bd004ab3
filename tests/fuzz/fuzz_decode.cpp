// Response decoding on any bytes: never a read past the end, the kind agrees
// with the bytes, and a value is never longer than its data size.
//
// Input: byte 0 is the data size of the last read (as a signed byte, so
// negative and oversized ones come too), the rest is the response.

#include "FuzzCheck.h"

#include <modZeva.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

char HexDigit(unsigned v)
{
    return "0123456789ABCDEF"[v & 0x0F];
}

// The value text of `count` bytes from `at`: last byte first.
bool IsHexOf(const std::string& text, const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t count)
{
    if (text.size() != 2 * count)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[at + count - 1 - i];
        if (text[2 * i] != HexDigit(b >> 4) || text[2 * i + 1] != HexDigit(b))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const int dataSize = static_cast<std::int8_t>(data[0]);
    // An exact-size copy, so that a read past the end is caught.
    const std::vector<std::uint8_t> response(data + 1, data + size);
    const modZeva::Answer a = modZeva::DecodeResponse(response, dataSize);

    FUZZ_CHECK(a.stateText.has_value() == (response.size() >= 12));
    if (a.stateText)
        FUZZ_CHECK(IsHexOf(*a.stateText, response, 10, 2));

    const auto le16 = [&](std::size_t at) { return static_cast<unsigned>(response[at] | (response[at + 1] << 8)); };
    switch (a.kind) {
    case modZeva::AnswerKind::Read: {
        const std::size_t n = dataSize > 0 ? static_cast<std::size_t>(dataSize) : 0;
        FUZZ_CHECK(response.size() >= 32 + n);
        FUZZ_CHECK(response[13] == 0x11 && response[20] == 0x55 && le16(26) == 0);
        FUZZ_CHECK(IsHexOf(a.valueText, response, 32, n));
        break;
    }
    case modZeva::AnswerKind::Status:
        FUZZ_CHECK(response.size() >= 50);
        FUZZ_CHECK(response[13] == 0x11 && response[20] == 0xB1 && le16(26) == 0);
        FUZZ_CHECK(IsHexOf(a.valueText, response, 30, 20));
        break;
    case modZeva::AnswerKind::DeviceError:
        FUZZ_CHECK(response[13] == 0x11 && le16(26) != 0);
        FUZZ_CHECK(a.errorCode == (response[20] == 0xB1 ? le16(26) : le16(28)));
        FUZZ_CHECK(a.valueText.empty());
        FUZZ_CHECK(!modZeva::ErrorText(a.errorCode).empty());
        break;
    case modZeva::AnswerKind::Other:
        FUZZ_CHECK(response[13] == 0x11 && le16(26) == 0 && response[20] != 0x55 && response[20] != 0xB1);
        FUZZ_CHECK(a.valueText.empty());
        break;
    case modZeva::AnswerKind::Malformed:
        FUZZ_CHECK(a.valueText.empty());
        break;
    }
    return 0;
}
