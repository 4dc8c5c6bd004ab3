// The exporter's request reader fed arbitrary bytes cut at random points:
// whatever the cuts, the same requests and the same end; it uses all it is
// given while reading, never more than it is given, and never keeps a
// request line or headers beyond their bound.

#include "FuzzCheck.h"

#include <RequestReader.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kHeaders = 512; // small, so that the fuzzer reaches the bound
constexpr std::size_t kBody = 256;

// Every request read, then the refusal if there was one.
std::vector<std::string> Read(const std::string& text, const std::vector<std::size_t>& cuts)
{
    exporter::RequestReader reader(kHeaders, kBody);
    std::vector<std::string> seen;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? cuts[i] : text.size();
        std::string piece = text.substr(start, end - start);
        start = end;
        while (!piece.empty()) {
            const std::size_t used = reader.Feed(piece.data(), piece.size());
            FUZZ_CHECK(used <= piece.size());
            piece.erase(0, used);
            const auto state = reader.GetState();
            if (state == exporter::RequestReader::State::Refused) {
                seen.push_back("refused " + std::to_string(reader.Status()));
                return seen;
            }
            if (state == exporter::RequestReader::State::Reading) {
                FUZZ_CHECK(piece.empty());
                continue;
            }
            FUZZ_CHECK(reader.Url().size() <= kHeaders);
            seen.push_back(reader.Method() + " " + reader.Url() + " " + reader.ScrapeTimeout() + " "
                           + (reader.KeepAlive() ? "keep" : "close"));
            reader.Next();
        }
    }
    return seen;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    std::vector<std::size_t> cuts(in.ConsumeIntegralInRange<std::size_t>(0, 16));
    const std::string text = in.ConsumeRemainingBytesAsString();
    for (std::size_t& c : cuts)
        c = text.empty() ? 0 : c % (text.size() + 1);
    std::sort(cuts.begin(), cuts.end());
    FUZZ_CHECK(Read(text, cuts) == Read(text, {}));
    return 0;
}
