#pragma once
// poll --record and --json: the questions of a poll, the session store, and the answers as JSON
// lines. The poll command feeds the control's keypad events in and opens the questions it is told.

#include "session/SessionRecorder.h"

#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

namespace kivra {
class TSessionStore;
}

namespace kivra::diag {

struct DiagOptions;

//! Counts the lines and notices the end of a readable descriptor (standard input), from a thread
//! of its own that looks at the descriptor every 100 ms.
class LineInput {
public:
    explicit LineInput(int fd);
    ~LineInput();
    LineInput(const LineInput&) = delete;
    LineInput& operator=(const LineInput&) = delete;

    int Lines() const { return lines_.load(); }
    bool Ended() const { return ended_.load(); }

private:
    void Run();
    int fd_;
    std::atomic<int> lines_{0};
    std::atomic<bool> ended_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

//! "{\"keypad\":17,\"key\":\"3\",\"serial\":null,\"question\":1,\"elapsed_ms\":250}"
std::string AnswerJson(int keypad, const std::string& key, const std::string& serial, int question,
                       long long elapsedMs);

class PollRecording {
public:
    using Say = std::function<void(const std::string&)>;

    //! json: where the JSON lines go (with --json). inputFd: read for Enter when the questions are
    //! advanced by hand (a terminal or a pipe; anything else is not read). Throws UsageError for a
    //! store location that cannot be parsed.
    PollRecording(const DiagOptions& o, std::ostream& json, Say say, int inputFd);
    ~PollRecording();
    PollRecording(const PollRecording&) = delete;
    PollRecording& operator=(const PollRecording&) = delete;

    //! Saves the session and opens question 1; returns its number (for BeginQuestion).
    int Start(int expectedKeypads);
    //! The next question is due (its time is up or Enter was pressed), or the poll should end.
    bool Due() const;
    //! The poll should end: the input ended, or the JSON lines can no longer be written (the
    //! reader went away).
    bool ShouldEnd() const;
    //! Opens the next question; returns its number.
    int Advance();

    void KeypadData(int keypad, int value);
    void SoftkeyData(int keypad, const std::string& key);
    void KeypadSerial(int keypad, const std::string& serial);

    //! Ends the session, waits for the store and prints the summary lines. False when answers
    //! could not be written (they are named on standard error).
    bool Finish(std::ostream& summary);

private:
    void Record(int keypad, char key, const std::string& shown);

    const DiagOptions& o_;
    std::ostream& json_;
    Say say_;
    std::unique_ptr<TSessionStore> store_;
    TSessionRecorder recorder_;
    std::unique_ptr<LineInput> input_;
    int linesUsed_ = 0;
    bool outputClosed_ = false;
};

} // namespace kivra::diag
