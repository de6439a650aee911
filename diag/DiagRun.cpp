#include "diag/DiagRun.h"

#include "control/Kivra.h"
#include "diag/DiagCommands.h"
#include "diag/DiagOptions.h"
#include "diag/DiagPorts.h"
#include "diag/DiagReconnect.h"
#include "diag/DiagRecording.h"
#include "diag/DiagReport.h"
#include "diag/DiagSession.h"
#include "diag/DiagSessions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>

namespace kivra::diag {
namespace {

using namespace std::chrono_literals;

//! "1.234" for an elapsed time in the CSV file.
std::string Millis(double seconds)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", seconds);
    return buf;
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
    k.SetOnSoftkeyDataReceived([&](int n, const std::string& key) {
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
        const int left = std::max(0, o.Seconds - static_cast<int>(std::lround(elapsed)));
        messages.Live("polling " + s.PortName() + ": " + std::to_string(tally.ExpectedAnswered()) + " of " +
                          std::to_string(tally.ExpectedCount()) + " keypads answered, " +
                          std::to_string(tally.AnswerCount()) + " answers, " + std::to_string(left) +
                          " s left",
                      static_cast<int>(std::lround(elapsed)) % 5 == 0);
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
                o.Port, deadline, [] { return StopRequested(); },
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
    const int seconds = static_cast<int>(std::lround(Seconds(Clock::now() - start)));
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

ExitCode Run(const DiagOptions& o, std::ostream& out, Messages& messages)
{
    if (o.Command == "ports")
        return o.AssignPort != 0 || o.UnassignPort != 0 ? ChangePortPin(o, out) : Ports(out, messages);
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
    const ExitCode connected = s.Connect();
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

int RunDiag(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool liveTerminal)
{
    ClearStopRequest();
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
