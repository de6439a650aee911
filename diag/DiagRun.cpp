#include "diag/DiagRun.h"

#include "control/Kivra.h"
#include "diag/DiagCommands.h"
#include "diag/DiagOptions.h"
#include "diag/DiagReport.h"
#include "diag/DiagSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kivra::diag {
namespace {

//! "1.234" for an elapsed time in the CSV file.
std::string Millis(double seconds)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", seconds);
    return buf;
}

ExitCode Poll(Session& s, const DiagOptions& o, std::ostream& out, Messages& messages, CsvFile& csv)
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
    });
    k.SetOnSoftkeyDataReceived([&](int n, const std::string& key) {
        tally.Answer(n, key, Seconds(Clock::now() - start));
        event(n, "softkey", key);
    });
    k.SetOnLowBatteryWarning([&](int n) {
        tally.LowBattery(n);
        event(n, "low-battery", "");
    });
    k.SetOnKeypadNotification([&](int n) {
        tally.Notification(n);
        event(n, "notification", "");
    });

    k.StartPolling();
    const auto end = s.Wait(std::chrono::seconds(o.Seconds), {}, {}, [&](double elapsed) {
        const int left = std::max(0, o.Seconds - static_cast<int>(std::lround(elapsed)));
        messages.Live("polling " + s.PortName() + ": " + std::to_string(tally.ExpectedAnswered()) + " of " +
                          std::to_string(tally.ExpectedCount()) + " keypads answered, " +
                          std::to_string(tally.AnswerCount()) + " answers, " + std::to_string(left) +
                          " s left",
                      static_cast<int>(std::lround(elapsed)) % 5 == 0);
    });
    if (k.GetConnected()) {
        k.CheckForBaseMessages(); // what arrived in the last half second
        k.StopPolling();
    }
    messages.Flush();
    const int seconds = static_cast<int>(std::lround(Seconds(Clock::now() - start)));
    tally.Print(out, seconds);
    out << std::flush;
    s.ReportUnrecognisedTotal();
    if (!csv.Good())
        messages.Say("writing the CSV file failed");
    if (end == Session::WaitEnd::LinkLost)
        return s.ReportLinkLost();
    if (end == Session::WaitEnd::Stopped)
        messages.Say("stopped early");
    return ExitCode::Ok;
}
ExitCode Run(const DiagOptions& o, std::ostream& out, Messages& messages)
{
    if (o.Command == "ports")
        return Ports(out);
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
        c = Poll(s, o, out, messages, csv);
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
