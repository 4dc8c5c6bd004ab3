#pragma once

// The request builders and their input checks. Each one builds a frame into
// the caller's buffer, or refuses the input and leaves the buffer as it was;
// none of them sends, shows a box or reads a clock.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modZeva {

// What became of a request.
enum class SendResult {
    Sent,           // the frame is built (and, from a Sender, sent)
    Empty,          // empty name, or empty write value: nothing sent, no message
    NotHex,         // write value with a non-hexadecimal character
    TooLongForType, // write value longer than the type holds
    BodyTooLong,    // body over 255 bytes
    BadNameChar,    // name character outside U+0001..U+00FF
};

// The window's text for a refusal; empty for Sent and Empty, which have none.
std::string_view RefusalText(SendResult result);

// Upper-cases a variable name given as UTF-8, as the window's text is
// upper-cased before use.
std::string UpperCase(std::string_view text);

// Makes `frame` the 20-byte header with its fixed part: company id, the
// direction byte, zeros elsewhere. Done once per buffer; the builders keep
// the header and rewrite only the length, the sequence number and the
// checksum. Room for the largest request is reserved, so no build allocates.
void MakeHeader(std::vector<std::uint8_t>& frame);

// The builders take a buffer prepared by MakeHeader() and resize it to the
// exact frame. name: already upper-cased, UTF-8. type: the code for bytes
// 22..23 (any code other than 1..4 goes out as 0). seq: bytes 14..15, which a
// device echoes; the window sends 0.
SendResult BuildReadRequest(std::vector<std::uint8_t>& frame, std::string_view name, int type,
                            std::uint16_t seq = 0);

// value: hexadecimal text, most significant digit first; it fills `size` data
// bytes, least significant first, zero-filled.
SendResult BuildWriteRequest(std::vector<std::uint8_t>& frame, std::string_view name, std::string_view value,
                             int type, std::size_t size, std::uint16_t seq = 0);

void BuildStatusRequest(std::vector<std::uint8_t>& frame, std::uint16_t seq = 0);

// body: any bytes, in wire order, put after the header as they are, with
// their length in bytes 16..17. BodyTooLong, with the frame as it was, for
// more than 65,535 bytes. The only builder that may grow the frame past the
// room MakeHeader() reserved.
SendResult BuildBodyRequest(std::vector<std::uint8_t>& frame, std::span<const std::uint8_t> body,
                            std::uint16_t seq = 0);

// Bytes 14..15 of any frame, absent when the frame is too short to hold them.
std::optional<std::uint16_t> FrameSequence(std::span<const std::uint8_t> frame);
// Byte 20 of any frame, absent when the frame is too short to hold it.
std::optional<std::uint8_t> FrameCommand(std::span<const std::uint8_t> frame);
// The value size a read answer states in bytes 30..31; 0 when the frame is
// too short to hold them.
int ReadAnswerSize(std::span<const std::uint8_t> frame);

} // namespace modZeva
