// Structure-aware libFuzzer target: the fuzzer's bytes choose a lying stream (units, inserted
// bytes, damage, "PD" and pauses; see tests/control/framing/LyingStream.h) and the chunks it arrives in.
// Any broken invariant - an intact unit lost, changed, duplicated or out of order, something queued
// that was never sent, the buffer beyond its bound - is a crash.

#include "tests/control/framing/LyingStream.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>

namespace {

struct FuzzSource {
    FuzzedDataProvider& data;
    unsigned Below(unsigned n) { return data.ConsumeIntegralInRange<unsigned>(0, n - 1); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    FuzzSource source{data};
    const auto stream = kivra::test::LyingStream::Make(source);
    const std::string broken = stream.Check(source);
    if (!broken.empty()) {
        std::fprintf(stderr, "%s\n%s", broken.c_str(), stream.Describe().c_str());
        __builtin_trap();
    }
    return 0;
}
