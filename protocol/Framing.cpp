#include "Framing.h"

#include "Wire.h"

namespace modZeva {

void FrameAssembler::Feed(std::span<const std::uint8_t> bytes)
{
    // Drop what Next() has handed out before appending, so the buffer holds
    // at most the unfinished frame and the new bytes.
    if (consumed_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
    fed_ = buffer_.size();
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::span<const std::uint8_t> FrameAssembler::Next()
{
    const std::span<const std::uint8_t> held = Held();
    if (held.size() < kHeaderSize || Garbled())
        return {};
    const std::size_t frameSize = kHeaderSize + getLe16(held, kBodyLength);
    if (held.size() < frameSize)
        return {};
    consumed_ += frameSize;
    return held.first(frameSize);
}

FrameAssembler::Piece FrameAssembler::Take()
{
    Piece piece;
    piece.bytes = Next();
    if (!piece.bytes.empty()) {
        piece.end = consumed_ > fed_ ? consumed_ - fed_ : 0;
        return piece;
    }
    if (Garbled())
        return TakeHeld();
    return piece;
}

FrameAssembler::Piece FrameAssembler::TakeHeld()
{
    Piece piece;
    piece.bytes = Held();
    if (piece.bytes.empty())
        return piece;
    piece.malformed = true;
    piece.end = buffer_.size() > fed_ ? buffer_.size() - fed_ : 0;
    // Counted as handed out: the next Feed() erases them, and the span stays
    // valid until then.
    consumed_ = buffer_.size();
    return piece;
}

bool FrameAssembler::Garbled() const
{
    const std::span<const std::uint8_t> held = Held();
    return held.size() > kDirection && held[kDirection] != kFromDevice;
}

std::span<const std::uint8_t> FrameAssembler::Held() const
{
    return std::span<const std::uint8_t>(buffer_).subspan(consumed_);
}

std::size_t FrameAssembler::Pending() const
{
    return buffer_.size() - consumed_;
}

void FrameAssembler::Clear()
{
    buffer_.clear();
    consumed_ = 0;
    fed_ = 0;
}

} // namespace modZeva
