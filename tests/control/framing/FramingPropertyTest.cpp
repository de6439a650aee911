// The framing against thousands of random lying streams (see LyingStream.h), with a fixed seed.

#include "tests/control/framing/LyingStream.h"

#include <gtest/gtest.h>

#include <random>

namespace kivra::test {
namespace {

struct SeededSource {
    std::mt19937 random;
    unsigned Below(unsigned n) { return static_cast<unsigned>(random() % n); }
};

TEST(LyingStreams, EveryIntactUnitIsQueuedOnceUnchangedAndInOrder)
{
    SeededSource source{std::mt19937(20240611)};
    int lists = 0, damaged = 0, packets = 0;
    for (int n = 0; n < 3000; ++n) {
        const LyingStream stream = LyingStream::Make(source);
        for (const auto& u : stream.units) {
            lists += u.kind == LyingStream::Kind::List ? 1 : 0;
            packets += u.kind == LyingStream::Kind::Packet ? 1 : 0;
            damaged += u.intact ? 0 : 1;
        }
        const std::string broken = stream.Check(source);
        ASSERT_EQ(broken, "") << "stream " << n << "\n" << stream.Describe();
    }
    // The generator does produce what the invariants are about.
    EXPECT_GT(lists, 1000);
    EXPECT_GT(packets, 20000);
    EXPECT_GT(damaged, 1000);
}

} // namespace
} // namespace kivra::test
