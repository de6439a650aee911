// The simulated keypads: the default set, their answers waiting for a packet, the packets and
// the lists of serial numbers and answer times.
#include "basesim/BaseSimulatorImpl.h"

#include "control/KivraProtocol.h"
#include "core/Exception.h"

#include <algorithm>

namespace kivra::basesim {

std::vector<SimKeypad> DefaultKeypads(std::uint32_t seed, bool lying)
{
    std::vector<SimKeypad> keypads;
    std::mt19937 gen(seed);
    for (int n = 1; n <= kMaxKeypad; ++n) {
        SimKeypad k;
        k.Number = n;
        k.Battery = static_cast<int>(gen() % 8 == 0 ? gen() % 3 : 3);
        k.Major = 1;
        k.Minor = static_cast<int>(gen() % 4);
        const auto status = protocol::MakeStatusByte(k.Battery, k.Major, k.Minor);
        do {
            for (auto& b : k.Serial)
                b = static_cast<std::uint8_t>(gen());
        } while (!lying && HoldsTerminator(SerialEntry(n, k.Serial.data(), status)));
        if (lying) {
            // Serial numbers and status bytes a framing could take for list ends and markers.
            static constexpr std::array<std::array<std::uint8_t, 3>, 4> kTempting{
                {{0x0D, 0x0A, 0xFF}, {'S', 0x0D, 0x0A}, {0x0A, 0xFF, 'T'}, {'T', 'S', 0xFF}}};
            if (n == 13)
                k.Serial = {0x0A, 0xFF, static_cast<std::uint8_t>(gen())};
            else if (gen() % 3 == 0)
                k.Serial = kTempting[gen() % kTempting.size()];
            if (gen() % 6 == 0) { // status byte "S" or "T": battery 1, firmware 2.3 or 2.4
                k.Battery = 1;
                k.Major = 2;
                k.Minor = 3 + static_cast<int>(gen() % 2);
            }
        }
        keypads.push_back(k);
    }
    return keypads;
}

void BaseSimulator::Impl::InitKeypads()
{
    indexOf.fill(-1);
    keypads = cfg.Keypads.empty() ? DefaultKeypads(cfg.Seed, cfg.Lie.Lists) : cfg.Keypads;
    for (std::size_t i = 0; i < keypads.size(); ++i) {
        const SimKeypad& k = keypads[i];
        const std::string who = "Simulated keypad " + std::to_string(k.Number);
        if (k.Number < 1 || k.Number > kMaxKeypad)
            throw Exception(who + ": keypad numbers run from 1 to 250.");
        if (indexOf[k.Number] >= 0)
            throw Exception(who + " is listed twice.");
        if (k.Battery < 0 || k.Battery > 3 || k.Major < 0 || k.Major > 7 || k.Minor < 0 || k.Minor > 7)
            throw Exception(who + ": battery must be 0-3 and firmware major and minor 0-7.");
        if (!cfg.Lie.Lists &&
            HoldsTerminator(SerialEntry(k.Number, k.Serial.data(),
                                        protocol::MakeStatusByte(k.Battery, k.Major, k.Minor))))
            throw Exception(who + ": its list entry would hold the list terminator; choose another serial.");
        indexOf[k.Number] = static_cast<int>(i);
    }
}

bool BaseSimulator::Impl::Allowed(const Answer& a) const
{
    switch (a.Kind) {
    case AnswerKind::Digit:
        return !locked[static_cast<std::size_t>(a.Wire - '0')];
    case AnswerKind::Star:
        return (settingsC & 0x02) != 0 && !locked[kStarIndex];
    case AnswerKind::Soft:
        return (settingsD & 0x04) != 0;
    case AnswerKind::LowBattery:
        return (settingsC & 0x04) != 0;
    case AnswerKind::Notification:
        return true;
    }
    return false;
}

void BaseSimulator::Impl::Queue(int keypad, AnswerKind kind, char wire)
{
    if (keypad < 1 || keypad > kMaxKeypad || indexOf[keypad] < 0)
        return; // no such keypad: nobody answers
    auto& q = pending[keypad];
    const Answer a{kind, wire, Clock::now()};
    if (IsKeyAnswer(kind)) {
        auto it = std::find_if(q.begin(), q.end(), [](const Answer& p) { return IsKeyAnswer(p.Kind); });
        if (it != q.end()) {
            // Unread answer: a first-answer-only keypad refuses the new press, others change it.
            if ((settingsC & 0x10) == 0)
                *it = a;
            return;
        }
    } else if (std::any_of(q.begin(), q.end(), [&](const Answer& p) { return p.Kind == kind; })) {
        return; // the same warning is already waiting
    }
    q.push_back(a);
    Wake();
}

bool BaseSimulator::Impl::SendPacket()
{
    const char letter = groups[nextGroup % groups.size()];
    const int base = (letter - kFirstGroup) * protocol::kKeypadsPerGroup;
    std::array<char, 50> states;
    states.fill(protocol::kStateNoAnswer);
    std::vector<int> carried;
    for (int k = 1; k <= protocol::kKeypadsPerGroup; ++k) {
        auto& q = pending[base + k];
        while (!q.empty() && !Allowed(q.front()))
            q.pop_front(); // a locked or disabled key never leaves the keypad
        if (!q.empty()) {
            states[static_cast<std::size_t>(k - 1)] = q.front().Wire;
            carried.push_back(base + k);
        }
    }
    std::string tail(kPacketTail);
    if (cfg.Lie.Filler)
        for (char& c : tail)
            c = static_cast<char>(1 + lieRng() % 255);
    std::string packet = BuildPacket(letter, states, tail);
    const std::string clean = packet;
    const std::string before = LieAround(packet, true);
    const std::uint64_t framedAt = written + before.size() + packet.size() + 2;
    const bool intact = packet == clean && failure != FailureMode::Noise;
    if (!WriteUnit(before + packet))
        return false; // nothing went out: the answers wait for the next packet
    ++nextGroup;
    for (int n : carried) {
        const Answer a = pending[n].front();
        if (cfg.KeepSentAnswers) {
            sent.push_back({n, a.Wire, intact});
            unstamped.emplace_back(framedAt, sent.size() - 1);
        }
        pending[n].pop_front();
        ++answersSent;
        if (timestampMode && IsKeyAnswer(a.Kind)) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(a.At - questionStart).count();
            answerUnits[n] =
                static_cast<std::uint16_t>(std::clamp<long long>(ms / protocol::kTimestampUnitMs, 0, 0xFFFF));
        }
    }
    return true;
}

void BaseSimulator::Impl::RandomPresses(Clock::time_point now)
{
    if (cfg.RandomPressesPerSecond <= 0) {
        nextRandom = Clock::time_point::max();
        return;
    }
    std::exponential_distribution<double> gap(cfg.RandomPressesPerSecond);
    while (now >= nextRandom) {
        nextRandom += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(rng)));
        std::vector<int> candidates;
        for (const SimKeypad& k : keypads)
            if (groups.find(static_cast<char>(kFirstGroup + (k.Number - 1) / 50)) != std::string::npos)
                candidates.push_back(k.Number);
        if (candidates.empty())
            continue;
        const int n = candidates[rng() % candidates.size()];
        const unsigned roll = rng() % 20;
        if (roll == 0)
            Queue(n, AnswerKind::Soft, static_cast<char>('<' + rng() % 3));
        else
            Queue(n, AnswerKind::Digit, static_cast<char>('0' + rng() % 10));
    }
}

std::string BaseSimulator::Impl::ListBytes() const
{
    std::string entries;
    for (const SimKeypad& k : keypads) {
        if (groups.find(static_cast<char>(kFirstGroup + (k.Number - 1) / 50)) == std::string::npos)
            continue; // the base hears only the groups it scans
        const auto status = protocol::MakeStatusByte(k.Battery, k.Major, k.Minor);
        if (!timestampMode) {
            entries += SerialEntry(k.Number, k.Serial.data(), status);
            continue;
        }
        if (!answerUnits[k.Number])
            continue;
        std::uint16_t units = *answerUnits[k.Number];
        // Keypad 13 answering at 0x0AFF would spell the terminator: report it one unit later
        // (a lying base does not).
        while (!cfg.Lie.Lists && HoldsTerminator(TimestampEntry(k.Number, units, status)))
            ++units;
        entries += TimestampEntry(k.Number, units, status);
    }
    return BuildList(timestampMode ? protocol::kTimestampListMarker : protocol::kSerialListMarker, entries);
}

} // namespace kivra::basesim
