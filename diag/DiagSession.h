#pragma once
// One connection of kivra-diag to the base through the control: its messages on standard error,
// a progress line for calls that block, the wait on the event loop, and the reports of the
// control collected for the commands and for choosing the exit status.

#include "control/Kivra.h"
#include "diag/DiagOptions.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kivra::diag {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d);

//! Bytes a terminal would misread are shown as \xNN.
std::string Printable(const std::string& text);

//! True once RequestStop ran since the last ClearStopRequest.
bool StopRequested();
void ClearStopRequest();

//! Standard error, shared with the progress thread.
class Messages {
public:
    Messages(std::ostream& err, bool live) : err_(err), live_(live) {}

    void Say(const std::string& text);
    //! A status line: rewritten in place on a terminal, else printed only now and then.
    void Live(const std::string& text, bool due);
    void Trace(const std::string& text);
    void Flush();
    //! Standard error itself, for a summary that must not go to standard output (after Flush).
    std::ostream& Stream() { return err_; }

private:
    void EndLive();
    std::ostream& err_;
    bool live_;
    bool liveOpen_ = false;
    std::mutex m_;
};

//! A progress line for a call that blocks the thread (Connect, Disconnect): printed from a
//! helper thread once the call has taken longer than a second, and every few seconds after.
class BlockingProgress {
public:
    BlockingProgress(Messages& messages, std::string what);
    ~BlockingProgress();
    BlockingProgress(const BlockingProgress&) = delete;
    BlockingProgress& operator=(const BlockingProgress&) = delete;

private:
    void Run();
    Messages& messages_;
    std::string what_;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

//! One connection to the base through the control, with every report of the control collected.
class Session {
public:
    enum class WaitEnd : std::uint8_t { Done, TimedOut, LinkLost, Stopped };

    Session(const DiagOptions& o, Messages& messages);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    TKivra& K() { return k_; }
    //! Unbinds the keypad events, whose handlers live only as long as their command.
    void ClearKeypadHandlers();
    std::string PortName() const { return "COM" + std::to_string(o_.Port); }
    std::string Device() const;

    //! Connects and identifies the base; prints why when it fails.
    ExitCode Connect();
    //! poll --reconnect: forgets the lost link and connects again.
    ExitCode Reconnect();
    void Disconnect();

    //! Runs the event loop until done() holds, the time passes, the link goes or a stop is asked.
    //! everySecond runs once a second with the time waited so far.
    WaitEnd Wait(Clock::duration limit, const std::function<bool()>& done, const std::string& progress = {},
                 const std::function<void(double)>& everySecond = {});

    bool LinkLost() const { return linkLost_; }
    int LinkLostReports() const { return linkLostReports_; }
    int Unrecognised() const { return unrecognised_; }
    int DamagedFrames() const { return k_.GetCounters().DamagedFrames; }
    int StatusAnswers() const { return k_.GetCounters().StatusAnswers; }
    int ChannelAnswers() const { return k_.GetCounters().ChannelAnswers; }

    ExitCode ReportLinkLost();
    //! The count of unrecognised reports beyond those shown.
    void ReportUnrecognisedTotal();
    //! The base is of a generation that lacks the command.
    ExitCode Unsupported(const std::string& what);

private:
    void OnError(int code, const std::string& text);
    void OnDebug(const std::string& text);
    ExitCode ReportConnectFailure();

    const DiagOptions& o_;
    Messages& messages_;
    TKivra k_;
    bool connected_ = false;
    std::vector<std::pair<int, std::string>> connectErrors_;
    std::string failureText_; // the error text that came with the control's failure fact
    bool linkLost_ = false;
    std::string lostText_;
    int linkLostReports_ = 0;
    int unrecognised_ = 0;
};

} // namespace kivra::diag
