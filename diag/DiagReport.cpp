#include "diag/DiagReport.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace kivra::diag {

PollTally::PollTally(std::vector<int> expected) : expected_(std::move(expected))
{
    std::sort(expected_.begin(), expected_.end());
    expected_.erase(std::unique(expected_.begin(), expected_.end()), expected_.end());
}

void PollTally::Answer(int keypad, const std::string& key, double elapsedSeconds)
{
    Keypad& k = keypads_[keypad];
    k.Last = key;
    ++k.Answers;
    k.LastAt = elapsedSeconds;
    ++answers_;
}

void PollTally::LowBattery(int keypad)
{
    lowBattery_.insert(keypad);
}

void PollTally::Notification(int keypad)
{
    (void)keypad;
    ++notifications_;
}

int PollTally::ExpectedAnswered() const
{
    return static_cast<int>(
        std::count_if(expected_.begin(), expected_.end(), [this](int n) { return keypads_.contains(n); }));
}

std::vector<int> PollTally::NeverAnswered() const
{
    std::vector<int> out;
    for (int n : expected_)
        if (!keypads_.contains(n))
            out.push_back(n);
    return out;
}

std::vector<int> PollTally::Unexpected() const
{
    std::vector<int> out;
    for (const auto& [n, k] : keypads_)
        if (!std::binary_search(expected_.begin(), expected_.end(), n))
            out.push_back(n);
    return out;
}

std::map<std::string, int> PollTally::Histogram() const
{
    std::map<std::string, int> counts;
    for (const auto& [n, k] : keypads_)
        ++counts[k.Last];
    return counts;
}

void PollTally::Print(std::ostream& out, int seconds) const
{
    char line[200];
    const int expected = ExpectedCount();
    std::snprintf(line, sizeof line, "Polled for %d s: %d of %d keypads answered (%.1f%%), %d answers.\n",
                  seconds, ExpectedAnswered(), expected,
                  expected > 0 ? 100.0 * ExpectedAnswered() / expected : 0.0, answers_);
    out << line;

    out << "\nKeypad  Last  Answers  Last at (s)\n";
    for (const auto& [n, k] : keypads_) {
        std::snprintf(line, sizeof line, "%6d  %-4s  %7d  %11.3f\n", n, k.Last.c_str(), k.Answers, k.LastAt);
        out << line;
    }
    if (keypads_.empty())
        out << "(no answers)\n";

    // Keys in the order of the keypad: digits, then "*", then the soft keys.
    out << "\nLast answers per key:\n";
    const auto counts = Histogram();
    int widest = 0;
    for (const auto& [key, c] : counts)
        widest = std::max(widest, c);
    static const char* kKeys[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "*", "<", "=", ">"};
    for (const char* key : kKeys) {
        const auto it = counts.find(key);
        const int c = it == counts.end() ? 0 : it->second;
        if (c == 0 && (key[0] == '*' || key[0] == '<' || key[0] == '=' || key[0] == '>'))
            continue; // rarely used keys only when pressed
        const int bar = widest > 0 ? (c * 40 + widest - 1) / widest : 0;
        std::snprintf(line, sizeof line, "  %s %5d", key, c);
        out << line << (bar > 0 ? "  " + std::string(static_cast<std::size_t>(bar), '#') : std::string())
            << '\n';
    }

    const auto never = NeverAnswered();
    out << "\nNever answered (" << never.size() << "): " << CompressRanges(never) << "\n";
    const auto unexpected = Unexpected();
    if (!unexpected.empty())
        out << "Outside the range (" << unexpected.size() << "): " << CompressRanges(unexpected) << "\n";
    const std::vector<int> low(lowBattery_.begin(), lowBattery_.end());
    out << "Low battery (" << low.size() << "): " << CompressRanges(low) << "\n";
    if (notifications_ > 0)
        out << "Notifications: " << notifications_ << "\n";
}

std::string CompressRanges(const std::vector<int>& numbers)
{
    if (numbers.empty())
        return "none";
    std::vector<int> n = numbers;
    std::sort(n.begin(), n.end());
    n.erase(std::unique(n.begin(), n.end()), n.end());
    std::string out;
    for (std::size_t i = 0; i < n.size();) {
        std::size_t j = i;
        while (j + 1 < n.size() && n[j + 1] == n[j] + 1)
            ++j;
        if (!out.empty())
            out += ',';
        out += std::to_string(n[i]);
        if (j > i)
            out += '-' + std::to_string(n[j]);
        i = j + 1;
    }
    return out;
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

std::string UtcTimestamp(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const auto secs = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    ::gmtime_r(&secs, &utc);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

} // namespace kivra::diag
