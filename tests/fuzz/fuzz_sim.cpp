// The simulator's handling of requests, through its public interface only,
// on any byte stream: the frames it accepts are well-formed requests, and
// every answer is a device frame the client decodes without complaint.

#include "FuzzCheck.h"

#include <Device.h>
#include <modZeva.h>

#include <QByteArray>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace {

std::span<const std::uint8_t> Bytes(const QByteArray& a)
{
    return {reinterpret_cast<const std::uint8_t*>(a.constData()), static_cast<std::size_t>(a.size())};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    sim::Config config;
    sim::Device device(config);
    QByteArray stream(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // As the simulator serves a TCP stream: frame after frame from the start.
    while (!stream.isEmpty()) {
        const sim::FrameScan scan = sim::scanRequest(stream);
        if (scan.result != sim::FrameScan::Complete) {
            // Only the first bytes are looked at: a rejected start is
            // rejected whatever follows.
            if (scan.result == sim::FrameScan::Invalid)
                FUZZ_CHECK(sim::scanRequest(stream.left(20)).result == sim::FrameScan::Invalid
                           || stream.size() < 20);
            break;
        }
        const auto in = Bytes(stream);
        FUZZ_CHECK(scan.length >= 20 && scan.length <= stream.size());
        FUZZ_CHECK(scan.length == 20 + qsizetype(modZeva::getLe16(in, 16)));
        FUZZ_CHECK(std::equal(modZeva::kCompanyId.begin(), modZeva::kCompanyId.end(), in.begin()));
        FUZZ_CHECK(in[13] == 0x33 && modZeva::CalcBcc(in, 0, 18) == in[19]);

        const QByteArray frame = stream.left(scan.length);
        const QByteArray answer = device.answer(frame);
        const auto out = Bytes(answer);
        FUZZ_CHECK(out.size() >= 28);
        FUZZ_CHECK(std::equal(modZeva::kCompanyId.begin(), modZeva::kCompanyId.end(), out.begin()));
        FUZZ_CHECK(out[13] == 0x11);
        FUZZ_CHECK(modZeva::getLe16(out, 16) == out.size() - 20);
        FUZZ_CHECK(modZeva::CalcBcc(out, 0, 18) == out[19]);
        FUZZ_CHECK(modZeva::getLe16(out, 14) == modZeva::getLe16(in, 14));

        // The size a client asks for is the request's type size; a read
        // answer carries that many bytes.
        const int type = frame.size() >= 24 ? modZeva::getLe16(Bytes(frame), 22) : 0;
        const modZeva::Answer decoded = modZeva::DecodeResponse(out, modZeva::TypeSize(type));
        FUZZ_CHECK(decoded.kind != modZeva::AnswerKind::Malformed);
        if (decoded.kind == modZeva::AnswerKind::Read)
            FUZZ_CHECK(decoded.valueText.size() == 2 * std::size_t(modZeva::TypeSize(type)));

        stream.remove(0, scan.length);
    }
    return 0;
}
