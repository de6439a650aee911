#include "diag/DiagCommands.h"

#include "diag/DiagPorts.h"
#include "diag/DiagReport.h"
#include "diag/DiagSettings.h"
#include "serial/PortPins.h"
#include "serial/PortProbe.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace kivra::diag {

using namespace std::chrono_literals;

CsvFile::CsvFile(const std::string& path, const std::string& header)
{
    if (path.empty())
        return;
    file_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file_)
        throw UsageError("cannot write " + path + ": " + std::strerror(errno));
    file_ << header << "\r\n";
}

void CsvFile::Row(const std::vector<std::string>& fields)
{
    if (!file_.is_open())
        return;
    for (std::size_t i = 0; i < fields.size(); ++i)
        file_ << (i ? "," : "") << CsvField(fields[i]);
    file_ << "\r\n";
}

namespace {

void Field(std::ostream& out, const char* name, const std::string& value)
{
    char line[48];
    std::snprintf(line, sizeof line, "%-17s ", name);
    out << line << value << '\n';
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

} // namespace

ExitCode Ports(std::ostream& out, Messages& messages)
{
    if (const std::string problem = ReadPortPins().Problem; !problem.empty())
        messages.Say(problem);
    out << "Port   Device                State\n";
    for (int n = 1; n <= 16; ++n) {
        const PortProbe p = ProbePort(n);
        char line[PATH_MAX + 32];
        std::snprintf(line, sizeof line, "COM%-3d %-21s ", n, ShownPortDevice(n).c_str());
        out << line << PortStateText(p) << '\n' << PortIdentityLines(n, p.Device);
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
          newer && k.GetBaseSerialNumberReported() && !serial.empty() ? Printable(serial) : "not reported");
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
    k.SetOnSoftkeyDataReceived([&](int, const std::string&) { ++answers; });
    k.BeginQuestion(o.Question);
    k.StartPolling();
    const auto end = s.Wait(std::chrono::seconds(o.Seconds), {}, {}, [&](double elapsed) {
        const int left = std::max(0, o.Seconds - static_cast<int>(std::lround(elapsed)));
        messages.Live("question " + std::to_string(o.Question) + ": " + std::to_string(answers) +
                          " answers, " + std::to_string(left) + " s left",
                      static_cast<int>(std::lround(elapsed)) % 5 == 0);
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
        wanted[name] = SettingValueOf(name, value);
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
            refused.append(refused.empty() ? "" : ", ")
                .append(name)
                .append(" (asked ")
                .append(value)
                .append(", reports ")
                .append(SettingValue(k, name))
                .append(")");
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

} // namespace kivra::diag
