#pragma once

// The protocol module: the one send buffer, the request builders, response
// decoding and the device error messages.

#include "DataType.h"
#include "HexText.h"
#include "Requests.h"
#include "Texts.h"
#include "ValueFormat.h"
#include "Wire.h"

#include <MessageBox.h>
#include <Socket.h>
#include <TickCounter.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modZeva {

// The module's state for the whole run: the send buffer, whose 20-byte header
// is built once, and the time of the last send. Requests go out through the
// socket; refusals are reported through the message box.
class Sender {
public:
    Sender(platform::ISocket& socket, platform::ITickCounter& ticks, platform::IMessageBox& box);

    // Creates the send buffer with the fixed part of the header. Called once,
    // before anything is sent.
    void MakeHeader();

    // name: already upper-cased, UTF-8. type: the code as chosen, 0..4 (sent
    // unchanged). value: hexadecimal text, most significant digit first.
    SendResult SendReadRequest(std::string_view name, int type);
    SendResult SendWriteRequest(std::string_view name, std::string_view value, int type);
    SendResult SendStatusRequest();

    std::span<const std::uint8_t> SendBuf() const { return sendBuf_; }
    // Tick count right after the last send; 0 before the first.
    std::int32_t SendTick() const { return sendTick_; }

private:
    // A built frame goes out; a refused one gets its message, if it has one.
    SendResult Finish(SendResult result);

    platform::ISocket& socket_;
    platform::ITickCounter& ticks_;
    platform::IMessageBox& box_;
    std::vector<std::uint8_t> sendBuf_;
    std::int32_t sendTick_ = 0;
};

// --- Responses -------------------------------------------------------------

enum class AnswerKind {
    Read,        // 0x55 without error: valueText holds the value
    Status,      // 0xB1 without error: valueText holds the 20 status bytes
    Other,       // any other command without error: nothing to show
    DeviceError, // error status set: errorCode holds the device's code
    Malformed,   // shorter than its kind needs, or byte 13 is not the device's
};

struct Answer {
    AnswerKind kind = AnswerKind::Malformed;
    std::optional<std::string> stateText; // bytes 10..11; absent if the answer is shorter
    std::uint16_t errorCode = 0;
    std::string valueText;
};

// Decodes one response. dataSize is the size of the last read's type; it says
// how many value bytes a read answer carries (a negative size counts as 0).
// Never reads past the end.
Answer DecodeResponse(std::span<const std::uint8_t> response, int dataSize);

// Text for a device error code; unknown codes get the general text and the
// code in decimal (always unsigned).
std::string ErrorText(std::uint16_t code);

// Message box with the title "오류" and the text for the code.
void ShowErrorCode(platform::IMessageBox& box, std::uint16_t code);

} // namespace modZeva
