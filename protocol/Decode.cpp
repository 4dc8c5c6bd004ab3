#include "modZeva.h"

#include "ErrorCodes.h"

#include <array>

namespace modZeva {

namespace {

// Reads of one response. Every access goes through Has(), so a frame that
// is too short for its kind is reported, never read past its end.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool Has(std::size_t at, std::size_t size) const
    {
        return at <= bytes_.size() && size <= bytes_.size() - at;
    }

    std::optional<std::uint8_t> Byte(std::size_t at) const
    {
        if (!Has(at, 1))
            return std::nullopt;
        return bytes_[at];
    }

    std::optional<std::uint16_t> Le16(std::size_t at) const
    {
        if (!Has(at, 2))
            return std::nullopt;
        return getLe16(bytes_, at);
    }

    std::optional<std::string> Hex(std::size_t at, std::size_t count) const
    {
        if (!Has(at, count))
            return std::nullopt;
        return BytesToHex(bytes_, at, count);
    }

private:
    std::span<const std::uint8_t> bytes_;
};

Answer Malformed(std::optional<std::string> stateText)
{
    Answer a;
    a.kind = AnswerKind::Malformed;
    a.stateText = std::move(stateText);
    return a;
}

struct ErrorEntry {
    std::uint16_t code;
    std::string_view text;
};

// Compared in this order; the first match wins.
constexpr std::array<ErrorEntry, 5> kErrorTexts = {{
    {kErrUndefinedVariable, kTextUndefinedVariable},
    {kErrStructOrRange, kTextStructOrRange},
    {kErrDataType, kTextDataType},
    {kErrDataLength, kTextDataLength},
    {kErrAccessRight, kTextAccessRight},
}};

} // namespace

Answer DecodeResponse(std::span<const std::uint8_t> response, int dataSize)
{
    const Reader r(response);

    Answer answer;
    answer.stateText = r.Hex(kStateWord, 2);
    if (!answer.stateText)
        return Malformed(std::nullopt);

    // Only the device's direction byte makes an answer; the company id, the
    // checksum and bytes 14..15 differ between devices and are not checked.
    const auto direction = r.Byte(kDirection);
    if (!direction || *direction != kFromDevice)
        return Malformed(std::move(answer.stateText));

    const auto command = r.Byte(kCommand);
    const auto errorStatus = r.Le16(kErrorStatus);
    if (!command || !errorStatus)
        return Malformed(std::move(answer.stateText));

    if (*errorStatus != 0) {
        // A status answer carries its error code in the error status itself.
        const auto code = *command == kStatusAnswer ? errorStatus : r.Le16(kErrorCode);
        if (!code)
            return Malformed(std::move(answer.stateText));
        answer.kind = AnswerKind::DeviceError;
        answer.errorCode = *code;
        return answer;
    }

    if (*command == kReadAnswer || *command == kStatusAnswer) {
        const bool read = *command == kReadAnswer;
        auto value = read ? r.Hex(kReadValue, dataSize > 0 ? static_cast<std::size_t>(dataSize) : 0)
                          : r.Hex(kStatusData, kStatusDataSize);
        if (!value)
            return Malformed(std::move(answer.stateText));
        answer.kind = read ? AnswerKind::Read : AnswerKind::Status;
        answer.valueText = std::move(*value);
        return answer;
    }

    answer.kind = AnswerKind::Other;
    return answer;
}

std::string ErrorText(std::uint16_t code)
{
    for (const ErrorEntry& e : kErrorTexts) {
        if (e.code == code)
            return std::string(e.text);
    }
    std::string text(kTextOtherError);
    text += std::to_string(static_cast<unsigned>(code));
    return text;
}

void ShowErrorCode(platform::IMessageBox& box, std::uint16_t code)
{
    box.Show(ErrorText(code), kErrorTitle);
}

} // namespace modZeva
