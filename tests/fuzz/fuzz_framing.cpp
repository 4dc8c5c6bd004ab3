// The TCP frame assembler fed device frames cut at random points: it hands
// out exactly the frames fed in, in order, whatever the cuts, holds nothing
// afterwards, and stops at bytes that cannot start a device frame.

#include "FuzzCheck.h"

#include <Framing.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);

    // Frames with random headers and bodies, but the device's direction byte
    // and a body length that matches; now and then a large one.
    std::vector<std::vector<std::uint8_t>> frames(in.ConsumeIntegralInRange<std::size_t>(0, 8));
    std::vector<std::uint8_t> stream;
    for (auto& f : frames) {
        const std::size_t body = in.ConsumeIntegralInRange<unsigned>(0, 7) == 0
                                     ? in.ConsumeIntegralInRange<std::size_t>(0, 0xFFFF)
                                     : in.ConsumeIntegralInRange<std::size_t>(0, 64);
        f = in.ConsumeBytes<std::uint8_t>(20 + in.ConsumeIntegralInRange<std::size_t>(0, body));
        f.resize(20 + body, 0);
        f[13] = 0x11;
        f[16] = static_cast<std::uint8_t>(body & 0xFF);
        f[17] = static_cast<std::uint8_t>(body >> 8);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    // Sometimes garbage after them: a header whose byte 13 is not 0x11.
    const bool garbage = in.ConsumeBool();
    if (garbage) {
        std::vector<std::uint8_t> g = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(14, 40));
        g.resize(std::max<std::size_t>(g.size(), 14), 0);
        if (g[13] == 0x11)
            g[13] = 0x33;
        stream.insert(stream.end(), g.begin(), g.end());
    }

    modZeva::FrameAssembler assembler;
    std::vector<std::vector<std::uint8_t>> out;
    std::size_t at = 0;
    while (at < stream.size()) {
        // The rest of the input cuts the stream; once it runs out, one piece.
        const std::size_t piece = in.remaining_bytes() > 0
                                      ? in.ConsumeIntegralInRange<std::size_t>(0, stream.size() - at)
                                      : stream.size() - at;
        assembler.Feed(std::span<const std::uint8_t>(stream).subspan(at, piece));
        at += piece;
        for (auto f = assembler.Next(); !f.empty(); f = assembler.Next()) {
            FUZZ_CHECK(out.size() < frames.size());
            out.emplace_back(f.begin(), f.end());
        }
        FUZZ_CHECK(!assembler.Garbled() || out.size() == frames.size());
    }
    FUZZ_CHECK(out == frames);
    FUZZ_CHECK(assembler.Garbled() == garbage);
    FUZZ_CHECK(garbage || assembler.Pending() == 0);
    return 0;
}
