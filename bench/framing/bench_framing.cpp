// The framing pass on the traffic of a polling base: throughput, and cost per receive that must
// not depend on how long the link has been up or on what noise sits in the buffer.

#include "control/KivraFraming.h"
#include "control/KivraProtocol.h"
#include "control/ThreadSafeStringList.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace kivra;

std::string Frame(std::string_view tag, std::string_view content)
{
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", static_cast<int>(tag.size() + content.size() + 4));
    return std::string(digits) + " " + std::string(tag) + ":" + std::string(content) + "\r\n";
}

//! Packets for groups A..E, a base frame every 200 packets, a list every 500, 1 % noise bytes.
std::string Traffic(std::size_t bytes, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, 255), state(0, 15), percent(0, 99);
    const char states[] = "----------0123<?";
    std::string out;
    out.reserve(bytes + 4096);
    for (std::size_t n = 0; out.size() < bytes; ++n) {
        std::string unit;
        if (n % 200 == 199) {
            unit = Frame(n % 400 == 399 ? "STATUS" : "CHANNEL", "07");
        } else if (n % 500 == 499) {
            unit = "S\x01\x02";
            for (int e = 0; e < 20; ++e)
                unit += std::string{static_cast<char>(e + 1), '\x12', '\x34', '\x56', '\x08', 0, 0};
            unit += protocol::kListTerminator;
        } else {
            unit.push_back(static_cast<char>('A' + n % 5));
            for (int k = 0; k < protocol::kKeypadsPerGroup; ++k)
                unit.push_back(states[state(random)]);
            unit += "\x01\x02\x03\r\n";
        }
        for (char c : unit) {
            if (percent(random) == 0)
                out.push_back(static_cast<char>(byte(random)));
            out.push_back(c);
        }
    }
    return out;
}

std::vector<std::size_t> ChunkSizes(std::size_t count, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> size(1, 64);
    std::vector<std::size_t> sizes(count);
    for (auto& s : sizes)
        s = size(random);
    return sizes;
}

//! Feeds bytes in receive-sized chunks; returns the number of messages queued.
std::size_t Feed(TKivraFraming& framing, TThreadSafeStringList& queue, const std::string& traffic,
                 const std::vector<std::size_t>& chunks, const TKivraFraming::DebugSink& sink = {})
{
    std::size_t messages = 0, c = 0;
    for (std::size_t pos = 0; pos < traffic.size(); c = (c + 1) % chunks.size()) {
        const std::size_t n = std::min(chunks[c], traffic.size() - pos);
        framing.Receive(std::string_view(traffic).substr(pos, n), queue, sink);
        pos += n;
        auto& list = queue.LockList();
        messages += list.size();
        list.clear();
        queue.UnlockList();
    }
    return messages;
}

void BM_MixedTraffic(benchmark::State& state)
{
    const std::string traffic = Traffic(1 << 20, 1);
    const auto chunks = ChunkSizes(4096, 2);
    const bool debug = state.range(0) != 0;
    std::size_t debugBytes = 0;
    TKivraFraming::DebugSink sink;
    if (debug)
        sink = [&debugBytes](const std::string& text) { debugBytes += text.size(); };
    std::size_t messages = 0;
    for (auto _ : state) {
        TKivraFraming framing;
        framing.SetScanGroupLetters('A', 'E');
        TThreadSafeStringList queue;
        messages = Feed(framing, queue, traffic, chunks, sink);
        benchmark::DoNotOptimize(messages);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * traffic.size()));
    state.counters["messages"] = static_cast<double>(messages);
}
BENCHMARK(BM_MixedTraffic)->Arg(0)->Arg(1)->ArgNames({"debug"})->Unit(benchmark::kMillisecond);

// Cost of one 32-byte receive after state.range(0) MB of traffic have passed through.
void BM_ReceiveAfterUptime(benchmark::State& state)
{
    TKivraFraming framing;
    framing.SetScanGroupLetters('A', 'E');
    TThreadSafeStringList queue;
    const std::string traffic = Traffic(1 << 20, 3);
    const auto chunks = ChunkSizes(4096, 4);
    for (std::int64_t mb = 0; mb < state.range(0); ++mb)
        Feed(framing, queue, traffic, chunks);
    std::size_t pos = 0;
    for (auto _ : state) {
        if (pos + 32 > traffic.size())
            pos = 0;
        framing.Receive(std::string_view(traffic).substr(pos, 32), queue);
        pos += 32;
        if (queue.Count() > 64) {
            queue.LockList().clear();
            queue.UnlockList();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 32));
    state.counters["buffer"] = static_cast<double>(framing.Buffer().size());
}
BENCHMARK(BM_ReceiveAfterUptime)->Arg(1)->Arg(100)->ArgNames({"MB"})->Iterations(200000);

// Cost of one 32-byte receive of junk while the buffer sits at its bound: the worst a noisy,
// idle link can cost. Junk kinds: 0 plain bytes, 1 stray list markers, 2 tags with bad lengths,
// 3 an incomplete frame of each tag in front.
void BM_ReceiveIntoFullJunkBuffer(benchmark::State& state)
{
    std::string junk;
    std::mt19937 random(5);
    std::uniform_int_distribution<int> byte(0, 255);
    switch (state.range(0)) {
    case 0:
        while (junk.size() < (1 << 16)) {
            const int c = byte(random);
            junk.push_back(c >= 'A' && c <= 'E' ? 'a' : static_cast<char>(c));
        }
        break;
    case 1:
        while (junk.size() < (1 << 16))
            junk += "S..T...";
        break;
    case 2:
        while (junk.size() < (1 << 16))
            junk += "zz STATUS_SERIAL #_CHANNEL_KIVRA";
        break;
    default:
        junk = "FF SERIAL #FF STATUS FF CHANNEL FF KIVRA ";
        while (junk.size() < (1 << 16))
            junk += "\r\n~";
        break;
    }
    TKivraFraming framing;
    framing.SetScanGroupLetters('A', 'E');
    TThreadSafeStringList queue;
    framing.Receive(junk, queue);
    std::size_t pos = 0;
    for (auto _ : state) {
        if (pos + 32 > junk.size())
            pos = 0;
        framing.Receive(std::string_view(junk).substr(pos, 32), queue);
        pos += 32;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 32));
    state.counters["buffer"] = static_cast<double>(framing.Buffer().size());
    state.counters["messages"] = static_cast<double>(queue.Count());
}
BENCHMARK(BM_ReceiveIntoFullJunkBuffer)->DenseRange(0, 3)->ArgNames({"junk"});

} // namespace

BENCHMARK_MAIN();
