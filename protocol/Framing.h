#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace modZeva {

// Bytes held for an incomplete frame that no further byte has extended for
// this long are taken for an answer that stopped short: one malformed
// answer, dropped, and framing starts again with the next arrival. Frames
// split by the network are joined within milliseconds.
inline constexpr std::chrono::milliseconds kHeldIdleLimit{1000};

// Cuts a TCP byte stream into frames by the body length in bytes 16..17.
// Holds at most one partial frame plus what arrived with it. Bytes whose
// direction byte (13) is not the device's can never start an answer: Next()
// stops there (Garbled) until they are cleared; Take() hands them out as one
// malformed piece and drops them. The one reader of the stream for the
// command-line engine and the window alike.
class FrameAssembler {
public:
    // What Take() and TakeHeld() hand out: a complete frame, or bytes that
    // will never complete one, to be handled as one malformed answer (they
    // are dropped already). Valid until the next call of Feed(), Next(),
    // Take(), TakeHeld() or Clear().
    struct Piece {
        std::span<const std::uint8_t> bytes;
        bool malformed = false;
        // Bytes of the last Feed() up to and including the piece's last one;
        // 0 when the piece ended in bytes held from before.
        std::size_t end = 0;

        explicit operator bool() const { return !bytes.empty(); }
    };

    // Appends bytes as they arrived.
    void Feed(std::span<const std::uint8_t> bytes);

    // The next complete frame, or an empty span while only part of one is
    // held or the bytes held are garbled. The span stays valid until the next
    // call of Feed(), Next() or Clear().
    std::span<const std::uint8_t> Next();

    // The next complete frame; once none is left, garbled bytes held as one
    // malformed piece. Empty when neither is held. What a reader of the
    // stream calls after each Feed() until it comes back empty.
    Piece Take();

    // Everything held, the start of a frame that stopped arriving, as one
    // malformed piece; empty when nothing is held.
    Piece TakeHeld();

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
    // Where the bytes of the last Feed() start in buffer_.
    std::size_t fed_ = 0;
};

} // namespace modZeva
