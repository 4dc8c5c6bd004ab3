#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace modZeva {

// Cuts a TCP byte stream into frames by the body length in bytes 16..17.
// Holds at most one partial frame plus what arrived with it. Bytes whose
// direction byte (13) is not the device's can never start an answer: the
// assembler stops there (Garbled) until it is cleared.
class FrameAssembler {
public:
    // Appends bytes as they arrived.
    void Feed(std::span<const std::uint8_t> bytes);

    // The next complete frame, or an empty span while only part of one is
    // held or the bytes held are garbled. The span stays valid until the next
    // call of Feed(), Next() or Clear().
    std::span<const std::uint8_t> Next();

    // The bytes held, not yet handed out, do not start a device frame.
    bool Garbled() const;

    // The bytes held and not yet handed out; valid as Next()'s result is.
    std::span<const std::uint8_t> Held() const;

    // Bytes held and not yet handed out by Next(); once Next() has returned
    // an empty span, the start of a frame still incomplete.
    std::size_t Pending() const;

    void Clear();

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t consumed_ = 0;
};

} // namespace modZeva
