#include "diag/DiagRun.h"

#include "control/Kivra.h"
#include "core/Exception.h"
#include "diag/DiagOptions.h"
#include "diag/DiagPorts.h"
#include "diag/DiagReconnect.h"
#include "diag/DiagRecording.h"
#include "diag/DiagReport.h"
#include "diag/DiagSessions.h"
#include "serial/PortNames.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

namespace kivra::diag {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

const std::string kNoDevice = "No Kivra device detected.";
constexpr int kShownUnrecognised = 5; // reports of unrecognised data shown before only counting

//! Bytes a terminal would misread are shown as \xNN.
std::string Printable(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

//! The device behind a port, through the links of the port directory.
std::string ShownDevice(int port)
{
    const std::string path = ResolvePortDevice(ComPortName(port));
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) != nullptr ? std::string(real) : path;
}

//! "1.234" for an elapsed time in the CSV file.
std::string Millis(double seconds)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", seconds);
    return buf;
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

//! Standard error, shared with the progress thread.
class Messages {
public:
    Messages(std::ostream& err, bool live) : err_(err), live_(live) {}

    void Say(const std::string& text)
    {
        std::lock_guard lock(m_);
        EndLive();
        err_ << "kivra-diag: " << text << '\n' << std::flush;
    }
    //! A status line: rewritten in place on a terminal, else printed only now and then.
    void Live(const std::string& text, bool due)
    {
        std::lock_guard lock(m_);
        if (live_) {
            err_ << "\rkivra-diag: " << text << "\033[K" << std::flush;
            liveOpen_ = true;
        } else if (due) {
            err_ << "kivra-diag: " << text << '\n' << std::flush;
        }
    }
    void Trace(const std::string& text)
    {
        using namespace std::chrono;
        const auto now = system_clock::now();
        const std::time_t secs = system_clock::to_time_t(now);
        std::tm local{};
        ::localtime_r(&secs, &local);
        const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                      static_cast<int>(ms));
        std::lock_guard lock(m_);
        EndLive();
        err_ << stamp << Printable(text) << '\n' << std::flush;
    }
    void Flush()
    {
        std::lock_guard lock(m_);
        EndLive();
    }
    //! Standard error itself, for a summary that must not go to standard output (after Flush).
    std::ostream& Stream() { return err_; }

private:
    void EndLive()
    {
        if (liveOpen_)
            err_ << '\n';
        liveOpen_ = false;
    }
    std::ostream& err_;
    bool live_;
    bool liveOpen_ = false;
    std::mutex m_;
};

//! A progress line for a call that blocks the thread (Connect, Disconnect): printed from a
//! helper thread once the call has taken longer than a second, and every few seconds after.
class BlockingProgress {
public:
    BlockingProgress(Messages& messages, std::string what) : messages_(messages), what_(std::move(what))
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~BlockingProgress()
    {
        {
            std::lock_guard lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    BlockingProgress(const BlockingProgress&) = delete;
    BlockingProgress& operator=(const BlockingProgress&) = delete;

private:
    void Run()
    {
        const auto start = Clock::now();
        auto next = start + 1s;
        std::unique_lock lock(m_);
        while (!cv_.wait_until(lock, next, [this] { return done_; })) {
            const int s = static_cast<int>(Seconds(Clock::now() - start));
            messages_.Say(what_ + "... " + std::to_string(s) + " s");
            next += 2s;
        }
    }
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

    Session(const DiagOptions& o, Messages& messages) : o_(o), messages_(messages)
    {
        k_.SetErrorExceptionsEnabled(false);
        k_.SetErrorEventsEnabled(true);
        k_.SetOnError([this](int code, std::string text) { OnError(code, std::move(text)); });
        k_.SetOnDebug([this](std::string text) { OnDebug(text); });
    }
    ~Session()
    {
        // Quiet teardown: a report from a half-gone link says nothing new.
        k_.SetOnError(nullptr);
        k_.SetOnDebug(nullptr);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    TKivra& K() { return k_; }
    //! Unbinds the keypad events, whose handlers live only as long as their command.
    void ClearKeypadHandlers()
    {
        k_.SetOnKeypadDataReceived(nullptr);
        k_.SetOnSoftkeyDataReceived(nullptr);
        k_.SetOnLowBatteryWarning(nullptr);
        k_.SetOnKeypadNotification(nullptr);
        k_.SetOnKeypadSerialNumber(nullptr);
        k_.SetOnKeypadTimestamp(nullptr);
    }
    std::string PortName() const { return "COM" + std::to_string(o_.Port); }
    std::string Device() const { return ShownDevice(o_.Port); }

    //! Connects and identifies the base; prints why when it fails.
    ExitCode Connect(bool keepDebug)
    {
        k_.SetDebugEventsEnabled(true); // the connect's texts tell damaged frames and status answers
        k_.SetKivraModel(rstKivraModel::mAutoDetect);
        k_.SetSerialPort(o_.Port);
        k_.SetCommunicationTimeout(o_.Timeout);
        bool ok = false;
        {
            BlockingProgress progress(messages_, "connecting to " + PortName() + " and identifying the base");
            ok = k_.Connect();
        }
        connected_ = ok;
        k_.SetDebugEventsEnabled(keepDebug || o_.Trace);
        if (ok && !linkLost_)
            return ExitCode::Ok;
        if (linkLost_)
            return ReportLinkLost();
        return ReportConnectFailure();
    }

    //! poll --reconnect: forgets the lost link and connects again.
    ExitCode Reconnect()
    {
        if (k_.GetConnected())
            k_.Disconnect(true);
        linkLost_ = false;
        lostText_.clear();
        linkLostReports_ = 0;
        connected_ = false;
        connectErrors_.clear();
        return Connect(false);
    }

    void Disconnect()
    {
        if (!k_.GetConnected())
            return;
        BlockingProgress progress(messages_, "disconnecting");
        k_.Disconnect(false);
    }

    //! Runs the event loop until done() holds, the time passes, the link goes or a stop is asked.
    //! everySecond runs once a second with the time waited so far.
    WaitEnd Wait(Clock::duration limit, const std::function<bool()>& done, const std::string& progress = {},
                 const std::function<void(double)>& everySecond = {})
    {
        const auto start = Clock::now();
        auto nextSecond = start + 1s;
        auto nextProgress = start + 1s;
        std::optional<WaitEnd> end;
        auto check = [&] {
            const auto now = Clock::now();
            if (done && done())
                end = WaitEnd::Done;
            else if (linkLost_)
                end = WaitEnd::LinkLost;
            else if (gStopRequested.load())
                end = WaitEnd::Stopped;
            else if (now - start >= limit)
                end = WaitEnd::TimedOut;
            if (end)
                return;
            if (everySecond && now >= nextSecond) {
                nextSecond += 1s;
                everySecond(Seconds(now - start));
            }
            if (!progress.empty() && now >= nextProgress) {
                messages_.Say(progress + "... " + std::to_string(static_cast<int>(Seconds(now - start))) +
                              " s");
                nextProgress += 3s;
            }
        };
        check();
        if (end)
            return *end;
        QEventLoop loop;
        QTimer timer;
        timer.setInterval(50);
        QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
            try {
                check();
            } catch (const std::exception& e) {
                HandleException(e);
                end = WaitEnd::Stopped;
            }
            if (end)
                loop.quit();
        });
        timer.start();
        loop.exec();
        return *end;
    }

    bool LinkLost() const { return linkLost_; }
    int LinkLostReports() const { return linkLostReports_; }
    int Unrecognised() const { return unrecognised_; }
    int DamagedFrames() const { return damagedFrames_; }
    int StatusAnswers() const { return statusAnswers_; }
    int ChannelAnswers() const { return channelAnswers_; }

    ExitCode ReportLinkLost()
    {
        // More than one report of one loss would be a fault of its own: show it.
        messages_.Say(
            PortName() + ": link lost: " + Printable(lostText_) +
            (linkLostReports_ > 1 ? " (reported " + std::to_string(linkLostReports_) + " times)" : ""));
        return ExitCode::LinkLost;
    }

    //! The count of unrecognised reports beyond those shown.
    void ReportUnrecognisedTotal()
    {
        if (unrecognised_ > kShownUnrecognised)
            messages_.Say(std::to_string(unrecognised_) +
                          " reports of unrecognised data from the base (first " +
                          std::to_string(kShownUnrecognised) + " shown): the line may be noisy");
    }

    //! The base is of a generation that lacks the command.
    ExitCode Unsupported(const std::string& what)
    {
        const rstKivraModel m = k_.GetKivraModel();
        if (m == rstKivraModel::mKivraSol)
            return ExitCode::Ok;
        const std::string kind = m == rstKivraModel::mKivra ? "an older base (" + k_.GetBaseVersion() + ")"
                                                            : "a legacy base (no version answer)";
        messages_.Say("the base on " + PortName() + " is " + kind + ": " + what +
                      " needs a newer base (QTB420)");
        return ExitCode::Unsupported;
    }

private:
    void OnError(int code, std::string text)
    {
        if (!connected_)
            connectErrors_.emplace_back(code, text);
        if (code == kErrConnection && connected_) {
            ++linkLostReports_;
            if (!linkLost_) {
                linkLost_ = true;
                lostText_ = text;
            }
            return;
        }
        if (code == kErrUnrecognised) {
            if (++unrecognised_ <= kShownUnrecognised)
                messages_.Say("base: " + Printable(text));
            return;
        }
        if (connected_)
            messages_.Say(Printable(text));
    }

    void OnDebug(const std::string& text)
    {
        if (o_.Trace)
            messages_.Trace(text);
        if (text.starts_with("Invalid frame length"))
            ++damagedFrames_;
        else if (text.starts_with("ParsingBaseStatus: "))
            ++statusAnswers_;
        else if (text.starts_with("Processing message: CHANNEL"))
            ++channelAnswers_;
    }

    ExitCode ReportConnectFailure()
    {
        const std::string where = PortName() + " (" + Device() + ")";
        for (const auto& [code, text] : connectErrors_)
            if (text == kNoDevice) {
                messages_.Say("no base answered on " + where + ": " + kNoDevice);
                return ExitCode::NoBase;
            }
        const auto lost = std::find_if(connectErrors_.begin(), connectErrors_.end(),
                                       [](const auto& e) { return e.second.starts_with("Connection Lost"); });
        if (lost != connectErrors_.end()) {
            messages_.Say(where + ": link lost while connecting: " + lost->second);
            return ExitCode::LinkLost;
        }
        if (connectErrors_.empty() || connectErrors_.front().first != kErrState) {
            messages_.Say(
                "connecting to " + where + " failed" +
                (connectErrors_.empty() ? std::string() : ": " + Printable(connectErrors_.front().second)));
            return ExitCode::Failure;
        }
        // The port did not open: ask the device itself why (the control only keeps the text).
        const std::string openText = connectErrors_.front().second;
        PortProbe probe = ProbePort(o_.Port);
        if (probe.State == PortState::Free) {
            for (int e : {EBUSY, EACCES, ENOENT})
                if (openText == std::strerror(e))
                    probe = ClassifyOpenError(o_.Port, probe.Device, e);
        }
        switch (probe.State) {
        case PortState::Busy:
            // The port names its holder itself when it knows it.
            messages_.Say(openText.find(" is in use by ") != std::string::npos
                              ? Printable(openText)
                              : where + " is " + PortStateText(probe) + " (" + openText + ")");
            return ExitCode::PortUnavailable;
        case PortState::Refused:
            messages_.Say(where + ": permission denied: " + probe.Detail);
            return ExitCode::PortUnavailable;
        case PortState::Missing:
            messages_.Say(PortName() + ": there is no device " + probe.Device + " (is the base plugged in?)");
            return ExitCode::NoBase;
        case PortState::Free:
        case PortState::Failed:
            break;
        }
        messages_.Say("cannot open " + where + ": " + Printable(openText));
        return ExitCode::Failure;
    }

    const DiagOptions& o_;
    Messages& messages_;
    TKivra k_;
    bool connected_ = false;
    std::vector<std::pair<int, std::string>> connectErrors_;
    bool linkLost_ = false;
    std::string lostText_;
    int linkLostReports_ = 0;
    int unrecognised_ = 0;
    int damagedFrames_ = 0;
    int statusAnswers_ = 0;
    int channelAnswers_ = 0;
};

//! A CSV file opened before connecting, so that a bad path fails early.
class CsvFile {
public:
    //! Empty path: no file. Throws UsageError when the file cannot be written.
    explicit CsvFile(const std::string& path, const std::string& header)
    {
        if (path.empty())
            return;
        file_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!file_)
            throw UsageError("cannot write " + path + ": " + std::strerror(errno));
        file_ << header << "\r\n";
    }
    void Row(const std::vector<std::string>& fields)
    {
        if (!file_.is_open())
            return;
        for (std::size_t i = 0; i < fields.size(); ++i)
            file_ << (i ? "," : "") << CsvField(fields[i]);
        file_ << "\r\n";
    }
    bool Good() const { return !file_.is_open() || file_.good(); }

private:
    std::ofstream file_;
};

const char* OnOff(bool v)
{
    return v ? "on" : "off";
}

const char* PowerName(rstKeypadPowerLevel p)
{
    switch (p) {
    case rstKeypadPowerLevel::powLow:
        return "low";
    case rstKeypadPowerLevel::powLowMid:
        return "lowmid";
    case rstKeypadPowerLevel::powMidHigh:
        return "midhigh";
    case rstKeypadPowerLevel::powHigh:
        return "high";
    }
    return "?";
}

//! The value of one keypad setting as the control holds it, in the words of the set options.
std::string SettingValue(TKivra& k, const std::string& name)
{
    if (name == "mode")
        return k.GetKeypadConfigurationMode() == rstKeypadConfigurationMode::kpcBase ? "base" : "manual";
    if (name == "echo")
        return OnOff(k.GetKeypadDigitEcho());
    if (name == "star")
        return OnOff(k.GetKeypadStarKeyEnabled());
    if (name == "low-battery")
        return OnOff(k.GetKeypadLowBatteryNotification());
    if (name == "post-ack")
        return OnOff(k.GetKeypadPostAcknowledgement());
    if (name == "first-only")
        return OnOff(k.GetKeypadOnlyAcceptInitialResponse());
    if (name == "shortcuts")
        return OnOff(k.GetKeypadAddressChannelShortcutsEnabled());
    if (name == "config-lock")
        return OnOff(k.GetKeypadGlobalConfigurationLock());
    if (name == "softkeys")
        return OnOff(k.GetKeypadSoftkeysEnabled());
    return PowerName(k.GetKeypadTransmitPowerLevel());
}

void ApplySetting(TKivra& k, const std::string& name, const std::string& value)
{
    if (name == "mode")
        k.SetKeypadConfigurationMode(value == "base" ? rstKeypadConfigurationMode::kpcBase
                                                     : rstKeypadConfigurationMode::kpcManual);
    else if (name == "power")
        k.SetKeypadTransmitPowerLevel(value == "low"       ? rstKeypadPowerLevel::powLow
                                      : value == "lowmid"  ? rstKeypadPowerLevel::powLowMid
                                      : value == "midhigh" ? rstKeypadPowerLevel::powMidHigh
                                                           : rstKeypadPowerLevel::powHigh);
    else {
        const bool on = ParseSwitch(name, value);
        if (name == "echo")
            k.SetKeypadDigitEcho(on);
        else if (name == "star")
            k.SetKeypadStarKeyEnabled(on);
        else if (name == "low-battery")
            k.SetKeypadLowBatteryNotification(on);
        else if (name == "post-ack")
            k.SetKeypadPostAcknowledgement(on);
        else if (name == "first-only")
            k.SetKeypadOnlyAcceptInitialResponse(on);
        else if (name == "shortcuts")
            k.SetKeypadAddressChannelShortcutsEnabled(on);
        else if (name == "config-lock")
            k.SetKeypadGlobalConfigurationLock(on);
        else if (name == "softkeys")
            k.SetKeypadSoftkeysEnabled(on);
    }
}

void PrintSettings(std::ostream& out, TKivra& k)
{
    for (const std::string& name : SettingOptionNames()) {
        char line[64];
        std::snprintf(line, sizeof line, "  %-12s %s\n", name.c_str(), SettingValue(k, name).c_str());
        out << line;
    }
}

void Field(std::ostream& out, const char* name, const std::string& value)
{
    char line[48];
    std::snprintf(line, sizeof line, "%-17s ", name);
    out << line << value << '\n';
}

// --- Commands ----------------------------------------------------------------------------------

ExitCode Ports(std::ostream& out)
{
    out << "Port   Device                State\n";
    for (int n = 1; n <= 16; ++n) {
        const PortProbe p = ProbePort(n);
        char line[PATH_MAX + 32];
        std::snprintf(line, sizeof line, "COM%-3d %-21s ", n, ShownDevice(n).c_str());
        out << line << PortStateText(p) << '\n';
    }
    return ExitCode::Ok;
}

ExitCode Identify(Session& s, std::ostream& out, Messages& messages)
{
    TKivra& k = s.K();
    const std::string version = k.GetBaseVersion();
    const auto colon = version.find(": ");
    const rstKivraModel model = k.GetKivraModel();
    const bool newer = model == rstKivraModel::mKivraSol;
    Field(out, "Port:", s.PortName() + " (" + s.Device() + ")");
    Field(out, "Product:", colon == std::string::npos ? "unknown" : Printable(version.substr(0, colon)));
    Field(out, "Version:", Printable(colon == std::string::npos ? version : version.substr(colon + 2)));
    Field(out, "Generation:",
          newer                            ? "newer (KivraSol)"
          : model == rstKivraModel::mKivra ? "older (Kivra 410)"
                                           : "unknown (legacy base)");
    const std::string serial = k.GetBaseSerialNumber();
    Field(out, "Serial number:",
          newer && serial.find_first_not_of("0123456789") == std::string::npos && !serial.empty()
              ? serial
              : "not reported");
    Field(out, "Channel:", k.GetBaseChannel() >= 0 ? std::to_string(k.GetBaseChannel()) : "not reported");
    Field(out, "Keypads:", std::to_string(k.GetMaxKeypads()));
    if (newer && s.StatusAnswers() > 0) {
        out << "Keypad settings:\n";
        PrintSettings(out, k);
    } else {
        Field(out, "Keypad settings:", "not reported");
    }
    if (s.DamagedFrames() > 0 && !newer) {
        messages.Say("the base's answers arrived damaged (frames with an invalid length field: " +
                     std::to_string(s.DamagedFrames()) + "): check the line and the base");
        return ExitCode::Failure;
    }
    if (model == rstKivraModel::mKivra)
        messages.Say("an older base reports no serial number, channel or keypad settings");
    else if (!newer)
        messages.Say("the base did not answer the version request (a legacy base): model unknown");
    return ExitCode::Ok;
}

ExitCode Poll(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages, CsvFile& csv,
              PollRecording* rec)
{
    TKivra& k = s.K();
    std::vector<int> expected;
    if (o.Keypads.empty()) {
        for (int n = 1; n <= k.GetMaxKeypads(); ++n)
            expected.push_back(n);
    } else {
        for (const TKeypadAddSet& set : ParseKeypadRangeText(o.Keypads, k.GetMaxKeypads()))
            for (int n = set.KeypadNumber(); n < set.KeypadNumber() + set.KeypadCount(); ++n)
                expected.push_back(n);
        k.ClearKeypadList();
        k.AddKeypad(o.Keypads);
    }
    PollTally tally(expected);
    const auto start = Clock::now();
    auto event = [&](int n, const char* kind, const std::string& value) {
        csv.Row({UtcTimestamp(std::chrono::system_clock::now()), Millis(Seconds(Clock::now() - start)),
                 std::to_string(n), kind, value});
    };
    k.SetOnKeypadDataReceived([&](int n, int v) {
        tally.Answer(n, std::to_string(v), Seconds(Clock::now() - start));
        event(n, "answer", std::to_string(v));
        if (rec)
            rec->KeypadData(n, v);
    });
    k.SetOnSoftkeyDataReceived([&](int n, std::string key) {
        tally.Answer(n, key, Seconds(Clock::now() - start));
        event(n, "softkey", key);
        if (rec)
            rec->SoftkeyData(n, key);
    });
    k.SetOnLowBatteryWarning([&](int n) {
        tally.LowBattery(n);
        event(n, "low-battery", "");
    });
    k.SetOnKeypadNotification([&](int n) {
        tally.Notification(n);
        event(n, "notification", "");
    });

    // --- poll --record/--json: the keypads' serial numbers (newer base), then question 1 ---
    const bool newer = k.GetKivraModel() == rstKivraModel::mKivraSol;
    bool serialsComplete = false;
    if (rec && newer) {
        k.SetOnKeypadSerialNumber([&](int id, const std::string& serial, const std::string&, int, bool last) {
            if (id != 0)
                rec->KeypadSerial(id, serial);
            serialsComplete = serialsComplete || last;
        });
        k.RequestKeypadSerialNumbers();
        s.Wait(
            10s, [&] { return serialsComplete; }, "reading the keypads' serial numbers");
    }
    if (rec) {
        const int question = rec->Start(static_cast<int>(expected.size()));
        if (newer && k.GetConnected())
            k.BeginQuestion(question);
    }
    LinkGaps gaps;
    // ---

    k.StartPolling();
    const auto deadline = start + std::chrono::seconds(o.Seconds);
    Session::WaitEnd end = Session::WaitEnd::Done;
    auto progress = [&](double) {
        const double elapsed = Seconds(Clock::now() - start);
        const int left = std::max(0, o.Seconds - static_cast<int>(elapsed + 0.5));
        messages.Live("polling " + s.PortName() + ": " + std::to_string(tally.ExpectedAnswered()) + " of " +
                          std::to_string(tally.ExpectedCount()) + " keypads answered, " +
                          std::to_string(tally.AnswerCount()) + " answers, " + std::to_string(left) +
                          " s left",
                      static_cast<int>(elapsed + 0.5) % 5 == 0);
    };
    std::function<bool()> questionDue;
    if (rec)
        questionDue = [&] { return rec->Due(); };
    for (;;) {
        end = s.Wait(deadline - Clock::now(), questionDue, {}, progress);
        // --- poll --record/--json: the next question; --reconnect: wait for the base ---
        if (end == Session::WaitEnd::Done && rec && !rec->ShouldEnd()) {
            const int question = rec->Advance();
            if (newer && k.GetConnected())
                k.BeginQuestion(question);
            continue;
        }
        if (end == Session::WaitEnd::LinkLost && o.Reconnect) {
            gaps.Lost();
            s.ReportLinkLost();
            if (k.GetConnected())
                k.Disconnect(true); // lets the port go, so that only a new device counts
            messages.Say("waiting for " + s.PortName() + " to come back (Ctrl-C ends)");
            const AwaitEnd back = AwaitBase(
                o.Port, deadline, [] { return gStopRequested.load(); },
                [&] { return s.Reconnect() == ExitCode::Ok; },
                [&](const std::string& m) { messages.Say(m); });
            if (back == AwaitEnd::Connected) {
                gaps.Back();
                k.StartPolling();
                messages.Say(s.PortName() + ": connected again, polling");
                continue;
            }
            if (back == AwaitEnd::Stopped)
                end = Session::WaitEnd::Stopped;
        }
        // ---
        break;
    }
    if (k.GetConnected()) {
        k.CheckForBaseMessages(); // what arrived in the last half second
        k.StopPolling();
    }
    messages.Flush();
    const int seconds = static_cast<int>(Seconds(Clock::now() - start) + 0.5);
    std::ostream& summary = o.Json ? messages.Stream() : out; // --json: nothing but answers on stdout
    tally.Print(summary, seconds);
    if (o.Reconnect)
        summary << gaps.Summary() << '\n';
    const bool written = rec == nullptr || rec->Finish(summary);
    summary << std::flush;
    s.ReportUnrecognisedTotal();
    if (!csv.Good())
        messages.Say("writing the CSV file failed");
    if (end == Session::WaitEnd::LinkLost)
        return o.Reconnect ? ExitCode::LinkLost : s.ReportLinkLost(); // --reconnect reported it when lost
    if (end == Session::WaitEnd::Stopped)
        messages.Say("stopped early");
    if (o.Reconnect && !k.GetConnected()) // ended while waiting for the base
        return ExitCode::LinkLost;
    return written ? ExitCode::Ok : ExitCode::Failure;
}

//! One entry of a keypad list (serial numbers or timestamps).
struct ListEntry {
    int Keypad = 0;
    std::string Serial;
    int Timestamp = 0;
    std::string Version;
    int Battery = 0;
};

//! Waits for a keypad list that the caller has asked for; entries arrive through add.
ExitCode CollectList(Session& s, const DiagOptions& o, Messages& messages, const bool& complete,
                     const std::string& what)
{
    const auto end = s.Wait(
        std::chrono::seconds(o.ListWaitSeconds), [&] { return complete; }, "waiting for the " + what);
    if (end == Session::WaitEnd::LinkLost)
        return s.ReportLinkLost();
    if (end == Session::WaitEnd::Stopped) {
        messages.Say("stopped before the " + what + " arrived");
        return ExitCode::Failure;
    }
    if (end == Session::WaitEnd::TimedOut) {
        messages.Say("the base sent no complete " + what + " within " + std::to_string(o.ListWaitSeconds) +
                     " s");
        return ExitCode::Failure;
    }
    return ExitCode::Ok;
}

ExitCode Serials(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages, CsvFile& csv)
{
    if (const ExitCode c = s.Unsupported("reading keypad serial numbers"); c != ExitCode::Ok)
        return c;
    TKivra& k = s.K();
    std::vector<ListEntry> entries;
    bool complete = false;
    k.SetOnKeypadSerialNumber([&](int id, std::string serial, std::string version, int battery, bool last) {
        if (id != 0 || !last) // keypad 0 with the end flag alone: an empty list
        {
            ListEntry e;
            e.Keypad = id;
            e.Serial = std::move(serial);
            e.Version = std::move(version);
            e.Battery = battery;
            entries.push_back(std::move(e));
        }
        complete = complete || last;
    });
    k.RequestKeypadSerialNumbers();
    const ExitCode c = CollectList(s, o, messages, complete, "list of keypad serial numbers");
    out << "Keypad  Serial  Firmware  Battery\n";
    for (const ListEntry& e : entries) {
        char line[96];
        std::snprintf(line, sizeof line, "%6d  %-6s  %-8s  %7d\n", e.Keypad, Printable(e.Serial).c_str(),
                      Printable(e.Version).c_str(), e.Battery);
        out << line;
        csv.Row({std::to_string(e.Keypad), e.Serial, e.Version, std::to_string(e.Battery)});
    }
    out << entries.size() << " keypads\n" << std::flush;
    return c;
}

ExitCode Timestamps(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages, CsvFile& csv)
{
    if (const ExitCode c = s.Unsupported("reading answer times"); c != ExitCode::Ok)
        return c;
    TKivra& k = s.K();
    int answers = 0;
    k.SetOnKeypadDataReceived([&](int, int) { ++answers; });
    k.SetOnSoftkeyDataReceived([&](int, std::string) { ++answers; });
    k.BeginQuestion(o.Question);
    k.StartPolling();
    const auto end = s.Wait(std::chrono::seconds(o.Seconds), {}, {}, [&](double elapsed) {
        const int left = std::max(0, o.Seconds - static_cast<int>(elapsed + 0.5));
        messages.Live("question " + std::to_string(o.Question) + ": " + std::to_string(answers) +
                          " answers, " + std::to_string(left) + " s left",
                      static_cast<int>(elapsed + 0.5) % 5 == 0);
    });
    messages.Flush();
    if (end == Session::WaitEnd::LinkLost)
        return s.ReportLinkLost();
    if (k.GetConnected()) {
        k.CheckForBaseMessages();
        k.StopPolling();
    }
    std::vector<ListEntry> entries;
    bool complete = false;
    k.SetOnKeypadTimestamp([&](int id, int, int timestamp, std::string version, int battery, bool last) {
        if (id != 0 || !last) // keypad 0 with the end flag alone: an empty list
        {
            ListEntry e;
            e.Keypad = id;
            e.Timestamp = timestamp;
            e.Version = std::move(version);
            e.Battery = battery;
            entries.push_back(std::move(e));
        }
        complete = complete || last;
    });
    k.RequestKeypadTimestamps();
    const ExitCode c = CollectList(s, o, messages, complete, "list of answer times");
    out << "Question " << o.Question << "\nKeypad  Time (s)  Firmware  Battery\n";
    for (const ListEntry& e : entries) {
        char line[96];
        std::snprintf(line, sizeof line, "%6d  %8.2f  %-8s  %7d\n", e.Keypad, e.Timestamp / 1000.0,
                      Printable(e.Version).c_str(), e.Battery);
        out << line;
        csv.Row({std::to_string(o.Question), std::to_string(e.Keypad), std::to_string(e.Timestamp), e.Version,
                 std::to_string(e.Battery)});
    }
    out << entries.size() << " keypads\n" << std::flush;
    return c;
}

ExitCode Set(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages)
{
    if (const ExitCode c = s.Unsupported("changing keypad settings"); c != ExitCode::Ok)
        return c;
    TKivra& k = s.K();
    std::map<std::string, std::string> wanted;
    for (const auto& [name, value] : o.Settings) {
        ApplySetting(k, name, value);
        wanted[name] = value == "yes" || value == "true" || value == "1"   ? "on"
                       : value == "no" || value == "false" || value == "0" ? "off"
                                                                           : value;
    }
    const int before = s.StatusAnswers();
    k.RequestBaseStatus();
    const auto end = s.Wait(
        3s, [&] { return s.StatusAnswers() > before; }, "waiting for the base's settings");
    if (end == Session::WaitEnd::LinkLost)
        return s.ReportLinkLost();
    if (end != Session::WaitEnd::Done) {
        messages.Say("the base did not report its settings after the change");
        return ExitCode::Failure;
    }
    out << "Keypad settings reported by the base:\n";
    PrintSettings(out, k);
    out << std::flush;
    std::string refused;
    for (const auto& [name, value] : wanted)
        if (SettingValue(k, name) != value)
            refused += (refused.empty() ? "" : ", ") + name + " (asked " + value + ", reports " +
                       SettingValue(k, name) + ")";
    if (!refused.empty()) {
        messages.Say("the base did not take: " + refused);
        return ExitCode::Failure;
    }
    return ExitCode::Ok;
}

ExitCode Lock(Session& s, const DiagOptions& o, std::ostream& out)
{
    for (char key : o.Keys)
        s.K().LockKey(std::string(1, key));
    std::string shown;
    for (char key : o.Keys) {
        if (!shown.empty())
            shown += ' ';
        shown += key;
    }
    out << "Locked keys: " << shown << "\n" << std::flush;
    return ExitCode::Ok;
}

ExitCode Unlock(Session& s, std::ostream& out)
{
    s.K().UnlockKey("0"); // with no key left locked, this sends the unlock of all keys
    out << "All keys unlocked\n" << std::flush;
    return ExitCode::Ok;
}

ExitCode Channel(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages)
{
    if (const ExitCode c = s.Unsupported("changing the channel"); c != ExitCode::Ok)
        return c;
    TKivra& k = s.K();
    const int before = s.ChannelAnswers();
    k.SetBaseChannel(o.Channel);
    k.RequestBaseChannel();
    const auto end = s.Wait(
        3s, [&] { return s.ChannelAnswers() > before; }, "waiting for the base's channel");
    if (end == Session::WaitEnd::LinkLost)
        return s.ReportLinkLost();
    if (end != Session::WaitEnd::Done) {
        messages.Say("the base did not report its channel after the change");
        return ExitCode::Failure;
    }
    out << "Channel: " << k.GetBaseChannel() << "\n" << std::flush;
    if (k.GetBaseChannel() != o.Channel) {
        messages.Say("the base stayed on channel " + std::to_string(k.GetBaseChannel()));
        return ExitCode::Failure;
    }
    return ExitCode::Ok;
}

ExitCode Run(const DiagOptions& o, std::ostream& out, Messages& messages)
{
    if (o.Command == "ports")
        return Ports(out);
    if (o.Command == "sessions")
        return ListSessions(o, out, messages.Stream());
    if (o.Command == "export")
        return ExportSession(o, out, messages.Stream());
    std::unique_ptr<PollRecording> rec;
    if (o.Command == "poll" && (o.Record || o.Json))
        rec = std::make_unique<PollRecording>(
            o, out, [&](const std::string& m) { messages.Say(m); }, STDIN_FILENO);
    const bool csvCommand = o.Command == "poll" || o.Command == "serials" || o.Command == "timestamps";
    CsvFile csv(csvCommand ? o.CsvPath : std::string(),
                o.Command == "poll"      ? "time,elapsed_s,keypad,event,value"
                : o.Command == "serials" ? "keypad,serial,firmware,battery"
                                         : "question,keypad,timestamp_ms,firmware,battery");
    Session s(o, messages);
    // set and channel learn of the base's answers from the control's debug texts.
    const ExitCode connected = s.Connect(o.Command == "set" || o.Command == "channel");
    if (connected != ExitCode::Ok)
        return connected;
    ExitCode c = ExitCode::Failure;
    if (o.Command == "identify")
        c = Identify(s, out, messages);
    else if (o.Command == "poll")
        c = Poll(s, o, out, messages, csv, rec.get());
    else if (o.Command == "serials")
        c = Serials(s, o, out, messages, csv);
    else if (o.Command == "timestamps")
        c = Timestamps(s, o, out, messages, csv);
    else if (o.Command == "set")
        c = Set(s, o, out, messages);
    else if (o.Command == "lock")
        c = Lock(s, o, out);
    else if (o.Command == "unlock")
        c = Unlock(s, out);
    else if (o.Command == "channel")
        c = Channel(s, o, out, messages);
    s.ClearKeypadHandlers();
    if (c == ExitCode::Ok && s.LinkLost())
        c = s.ReportLinkLost();
    s.Disconnect();
    return c;
}

} // namespace

void RequestStop()
{
    gStopRequested.store(true);
}

int RunDiag(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool liveTerminal)
{
    gStopRequested.store(false);
    Messages messages(err, liveTerminal);
    try {
        const DiagOptions o = ParseArguments(args);
        if (o.Help) {
            out << HelpText(o.Command) << std::flush;
            return static_cast<int>(ExitCode::Ok);
        }
        return static_cast<int>(Run(o, out, messages));
    } catch (const UsageError& e) {
        messages.Say(e.what());
        return static_cast<int>(ExitCode::BadArguments);
    } catch (const std::exception& e) {
        messages.Say(Printable(e.what()));
        return static_cast<int>(ExitCode::Failure);
    }
}

} // namespace kivra::diag
