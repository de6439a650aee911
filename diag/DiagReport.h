#pragma once
// What kivra-diag shows: the tally of a polling session, tables, keypad number lists and CSV.

#include <chrono>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace kivra::diag {

//! The answers of one polling session, per keypad.
class PollTally {
public:
    using Clock = std::chrono::steady_clock;

    explicit PollTally(std::vector<int> expected = {});

    //! A digit "0"-"9", "*" or a soft key "<", "=", ">".
    void Answer(int keypad, const std::string& key, double elapsedSeconds);
    void LowBattery(int keypad);
    void Notification(int keypad);

    int AnswerCount() const { return answers_; }
    int NotificationCount() const { return notifications_; }
    //! Keypads of the expected range that answered at least once.
    int ExpectedAnswered() const;
    int ExpectedCount() const { return static_cast<int>(expected_.size()); }
    //! Keypads of the expected range that never answered, ascending.
    std::vector<int> NeverAnswered() const;
    //! Keypads that answered although they are not in the expected range.
    std::vector<int> Unexpected() const;
    const std::set<int>& LowBatteryKeypads() const { return lowBattery_; }
    //! How many keypads gave each key as their last answer.
    std::map<std::string, int> Histogram() const;

    struct Keypad {
        std::string Last;
        int Answers = 0;
        double LastAt = 0;
    };
    const std::map<int, Keypad>& Keypads() const { return keypads_; }

    //! The summary printed at the end of a poll.
    void Print(std::ostream& out, int seconds) const;

private:
    std::vector<int> expected_;
    std::map<int, Keypad> keypads_;
    std::set<int> lowBattery_;
    int answers_ = 0;
    int notifications_ = 0;
};

//! {1,2,3,5,7,8} -> "1-3,5,7-8"; "none" when empty.
std::string CompressRanges(const std::vector<int>& numbers);

//! One CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text);

//! "2026-12-08T17:20:01.123Z" for a system clock time.
std::string UtcTimestamp(std::chrono::system_clock::time_point t);

} // namespace kivra::diag
