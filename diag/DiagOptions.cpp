#include "diag/DiagOptions.h"

#include "control/Kivra.h"
#include "serial/PortNames.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <map>

namespace kivra::diag {
namespace {

const char* kOverview = R"(Usage: kivra-diag [--trace] COMMAND [options]
       kivra-diag COMMAND --help
       kivra-diag --version

Headless diagnostics of a radio base station and its keypads on a serial port.

Commands:
  ports        list COM1-COM16, the device each stands for and whether it can be opened
  identify     product, version, serial number, channel and keypad settings of the base
  poll         poll the keypads for a while; who answered, what, and who did not
  serials      the keypads' serial numbers, firmware and battery levels
  timestamps   poll for a question, then the keypads' answer times
  set          change keypad settings (pushed to the keypads by the base)
  lock         lock keypad keys
  unlock       unlock every keypad key
  channel      change the base's radio channel
  sessions     list the poll sessions kept in the session store
  export       write a kept poll session as CSV (answers or gradebook)

Options for every command:
  --port N     the COM port of the base, 1-16 (also COMn)
  --timeout MS silence after which a polling base counts as lost, 2000-15000 (default 3000)
  --trace      the control's debug texts with time stamps, on standard error
  --help       help of the command

Data goes to standard output, messages and progress lines to standard error.

Exit status:
  0  success
  1  other failure (for example an answer that never came)
  2  bad arguments
  3  no base found: no such device, or nothing answered on the port
  4  device busy (held by another program) or access refused
  5  link lost: the base stopped answering or went away
  6  the base does not support the command (an older or legacy base)
)";

const std::map<std::string, std::string>& CommandHelp()
{
    static const std::map<std::string, std::string> help = {
        {"ports", R"(Usage: kivra-diag ports [--assign N DEVICE | --unassign N]

Lists COM1 to COM16 with the device each resolves to and its state: free, busy (held by
another program), refused (no permission: the group to join is named), missing, or the
system's error. No port is kept open. Below a port: its stable path under /dev/serial, the
USB adapter's maker, product and serial number, and its pin.

  --assign N DEVICE  pin COM N (1-16) to DEVICE, a device path; a device with a stable path
                     under /dev/serial/by-id or by-path is pinned by that path, so the pin
                     follows the adapter to another port or hub
  --unassign N       remove the pin of COM N
Pins are kept in $XDG_CONFIG_HOME/kivra/ports (~/.config/kivra/ports) and come before the
port directory's links and the default table.
)"},
        {"identify", R"(Usage: kivra-diag identify --port N

Connects, prints the base's product, version, serial number, radio channel and the ten keypad
settings it reports, and disconnects. An older base reports its version only; a legacy base
not even that (both are still identified, with a note on standard error).
)"},
        {"poll", R"(Usage: kivra-diag poll --port N [--seconds S] [--keypads RANGE] [--csv FILE]
                      [--record [--title T] [--db URL]] [--json] [--question-seconds Q]
                      [--reconnect]

Polls for S seconds (default 10; Ctrl-C ends early) and shows, live, how many keypads of the
range answered. At the end: each keypad's last answer, how many keypads pressed each key, the
keypads of the range that never answered and those that warned of a low battery.
  --keypads RANGE  the keypads expected, e.g. 1-40,45 (default: every keypad of the base)
  --csv FILE       every event with a time stamp: time,elapsed_s,keypad,event,value
  --record         keep the answers as a poll session in the session store, question by
                   question: question 1 starts with the poll, Enter on standard input (a
                   terminal or a pipe) starts the next one, end of input ends the poll
  --title T        the session's title (default: the date and time)
  --db URL         the session store: a SQLite file (path or sqlite:///path) or
                   postgresql://user@host/db (default: sessions.db in the user's data folder)
  --question-seconds Q  start the next question every Q seconds instead of on Enter
  --json           one JSON object per answer on standard output, a line each:
                   {"keypad":17,"key":"3","serial":"0A1B2C","question":1,"elapsed_ms":2350}
                   (serial null when unknown); the summary goes to standard error; the
                   poll ends when standard output is closed
  --reconnect      when the link is lost, wait for the port's device to come back, connect
                   again and carry on polling; the summary counts the gaps
A store that fails does not stop the poll: the answers wait and are written when it is
back; answers still unwritten at the end are saved as a CSV file in the temporary folder
(named in the message) and give exit status 1.
)"},
        {"sessions", R"(Usage: kivra-diag sessions [--db URL]

Lists the poll sessions kept in the session store, newest first: id, start, questions,
answers and title.
  --db URL  the session store (default: sessions.db in the user's data folder)
)"},
        {"export", R"(Usage: kivra-diag export ID --csv FILE [--gradebook] [--roster FILE] [--db URL]

Writes poll session ID of the session store as CSV (UTF-8, RFC 4180): one row per answer
(session,title,question,keypad,serial,name,key,label,received,ms,counted), or the gradebook.
  --csv FILE     the file to write; - for standard output
  --gradebook    one row per student or keypad, one column per question, and the score
  --roster FILE  names from this roster (CSV: name,keypad,serial) instead of the session's
  --db URL       the session store (default: sessions.db in the user's data folder)
An unknown ID gives exit status 1.
)"},
        {"serials", R"(Usage: kivra-diag serials --port N [--csv FILE] [--wait S]

Asks the base for the keypads' serial numbers and prints keypad, serial number, firmware
and battery level (0-3). Waits up to S seconds for the list (default 15). Needs a newer base.
  --csv FILE  the list as keypad,serial,firmware,battery
)"},
        {"timestamps",
         R"(Usage: kivra-diag timestamps --port N [--seconds S] [--question Q] [--csv FILE] [--wait S]

Starts question Q (default 1), polls for S seconds (default 10) while the keypads answer,
then asks the base when each keypad answered and prints keypad, time after the question's
start, firmware and battery level. Needs a newer base.
  --csv FILE  the list as question,keypad,timestamp_ms,firmware,battery
)"},
        {"set", R"(Usage: kivra-diag set --port N SETTING VALUE...

Sends keypad settings to the base, which pushes them to the keypads in range, then prints the
settings the base reports. Settings not named keep the base's values. Needs a newer base.
  --mode manual|base     base: keypads take their settings from the base
  --echo on|off          show the pressed key on the keypad display
  --star on|off          the "*" key
  --low-battery on|off   low-battery warnings
  --post-ack on|off      bars on the display once the base acknowledged an answer
  --first-only on|off    accept only the first answer until the base has read it
  --shortcuts on|off     the keypad shortcuts for address and channel
  --config-lock on|off   lock every keypad configuration change
  --softkeys on|off      the soft keys
  --power low|lowmid|midhigh|high   keypad transmit power
)"},
        {"lock", R"(Usage: kivra-diag lock --port N KEYS

Locks the keys named (digits 0-9 and *, e.g. "1 2 3" or 1,2,*) on every keypad. Every session
starts by unlocking all keys, so afterwards exactly these keys are locked.
)"},
        {"unlock", R"(Usage: kivra-diag unlock --port N

Unlocks every key on every keypad (the base cannot report its locks, so there is no unlocking
of single keys: lock names the full set of locked keys).
)"},
        {"channel", R"(Usage: kivra-diag channel --port N C

Changes the base's radio channel to C (1-15) and prints the channel the base then reports.
Needs a newer base.
)"},
    };
    return help;
}

int ToInt(const std::string& option, const std::string& text, int lo, int hi)
{
    int v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi)
        throw UsageError(option + ": \"" + text + "\" is not a number from " + std::to_string(lo) + " to " +
                         std::to_string(hi));
    return v;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

//! "1 2 3", "1,2,*" or "12*" -> "123*" in the order given; throws on anything else or a repeat.
std::string ParseKeys(const std::vector<std::string>& words)
{
    std::string keys;
    for (const std::string& w : words)
        for (char c : w) {
            if (c == ',' || c == ' ')
                continue;
            if (!std::isdigit(static_cast<unsigned char>(c)) && c != '*')
                throw UsageError(std::string("lock: \"") + c + "\" is not a key (use 0-9 and *)");
            if (keys.find(c) != std::string::npos)
                throw UsageError(std::string("lock: key ") + c + " is named twice");
            keys += c;
        }
    return keys;
}

// Options that take a value, per command ("" = every command).
bool TakesValue(const std::string& option, const std::string& command)
{
    static const std::map<std::string, std::vector<std::string>> known = {
        {"port", {}},
        {"timeout", {}},
        {"seconds", {"poll", "timestamps"}},
        {"keypads", {"poll"}},
        {"csv", {"poll", "serials", "timestamps", "export"}},
        {"title", {"poll"}},
        {"db", {"poll", "sessions", "export"}},
        {"question-seconds", {"poll"}},
        {"roster", {"export"}},
        {"question", {"timestamps"}},
        {"wait", {"serials", "timestamps"}},
        {"assign", {"ports"}},
        {"unassign", {"ports"}},
    };
    const auto it = known.find(option);
    if (it != known.end())
        return it->second.empty() ||
               std::find(it->second.begin(), it->second.end(), command) != it->second.end();
    const auto& settings = SettingOptionNames();
    return command == "set" && std::find(settings.begin(), settings.end(), option) != settings.end();
}

// --- Poll sessions: poll --record/--json/--reconnect, sessions, export ---

bool IsSessionSwitch(const std::string& arg)
{
    return arg == "--record" || arg == "--json" || arg == "--reconnect" || arg == "--gradebook";
}

bool IsStoreCommand(const std::string& command)
{
    return command == "sessions" || command == "export";
}

//! The valued options of the session commands; false for any other option.
bool ParseSessionOption(DiagOptions& o, const std::string& name, const std::string& value)
{
    if (name == "title")
        o.Title = value;
    else if (name == "db") {
        if (value.empty())
            throw UsageError("--db needs a store location");
        o.Db = value;
    } else if (name == "question-seconds")
        o.QuestionSeconds = ToInt("--question-seconds", value, 1, 24 * 3600);
    else if (name == "roster") {
        if (value.empty())
            throw UsageError("--roster needs a file name");
        o.RosterPath = value;
    } else
        return false;
    return true;
}

//! The switches, the export's session id, and what goes together.
void ParseSessionSwitches(DiagOptions& o, const std::vector<std::string>& switches,
                          std::vector<std::string>& positional)
{
    for (const std::string& name : switches) {
        const bool known =
            (o.Command == "poll" && name != "gradebook") || (o.Command == "export" && name == "gradebook");
        if (!known)
            throw UsageError(o.Command + ": unknown option --" + name + " (see kivra-diag " + o.Command +
                             " --help)");
        o.Record = o.Record || name == "record";
        o.Json = o.Json || name == "json";
        o.Reconnect = o.Reconnect || name == "reconnect";
        o.Gradebook = o.Gradebook || name == "gradebook";
    }
    if (o.Command == "poll" && !o.Record && (!o.Title.empty() || !o.Db.empty()))
        throw UsageError("poll: --title and --db go with --record");
    if (o.Command == "poll" && !o.Record && !o.Json && o.QuestionSeconds > 0)
        throw UsageError("poll: --question-seconds goes with --record or --json");
    if (o.Command != "export")
        return;
    if (positional.size() != 1)
        throw UsageError("export: give one session id (kivra-diag sessions lists them)");
    o.SessionId = ToInt("export", positional[0], 1, INT_MAX);
    positional.clear();
    if (o.CsvPath.empty())
        throw UsageError("export: --csv FILE is needed (- for standard output)");
}

} // namespace

const std::vector<std::string>& SettingOptionNames()
{
    static const std::vector<std::string> names = {"mode",     "echo",       "star",      "low-battery",
                                                   "post-ack", "first-only", "shortcuts", "config-lock",
                                                   "softkeys", "power"};
    return names;
}

int ParsePortArgument(const std::string& text)
{
    int n = ComPortNumber(text);
    if (n < 0) {
        std::string upper = text;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        n = ComPortNumber(upper);
    }
    if (n < 0)
        return ToInt("--port", text, 1, 16);
    if (n > 16)
        throw UsageError("--port: \"" + text + "\" is not a port from COM1 to COM16");
    return n;
}

bool ParseSwitch(const std::string& option, const std::string& text)
{
    const std::string v = Lower(text);
    if (v == "on" || v == "yes" || v == "true" || v == "1")
        return true;
    if (v == "off" || v == "no" || v == "false" || v == "0")
        return false;
    throw UsageError(option + ": \"" + text + "\" is neither on nor off");
}

DiagOptions ParseArguments(const std::vector<std::string>& args)
{
    DiagOptions o;
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> valued;
    std::vector<std::string> switches;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.Help = true;
            continue;
        }
        if (a == "--trace") {
            o.Trace = true;
            continue;
        }
        if (IsSessionSwitch(a)) {
            switches.push_back(a.substr(2));
            continue;
        }
        if (a.size() > 2 && a.starts_with("--")) {
            std::string name = a.substr(2), value;
            const auto eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                throw UsageError(a + " needs a value");
            }
            valued.emplace_back(name, value);
            continue;
        }
        if (o.Command.empty() && positional.empty()) {
            o.Command = a;
            continue;
        }
        positional.push_back(a);
    }
    if (o.Command.empty()) {
        if (o.Help)
            return o;
        throw UsageError("no command given (see kivra-diag --help)");
    }
    if (!CommandHelp().contains(o.Command))
        throw UsageError("unknown command \"" + o.Command + "\" (see kivra-diag --help)");
    if (o.Help)
        return o; // the help needs nothing else

    for (const auto& [name, value] : valued) {
        if (!TakesValue(name, o.Command))
            throw UsageError(o.Command + ": unknown option --" + name + " (see kivra-diag " + o.Command +
                             " --help)");
        if (name == "port")
            o.Port = ParsePortArgument(value);
        else if (name == "timeout")
            o.Timeout = ToInt("--timeout", value, 2000, 15000);
        else if (name == "seconds")
            o.Seconds = ToInt("--seconds", value, 1, 24 * 3600);
        else if (name == "keypads") {
            try {
                ParseKeypadRangeText(value, 250);
            } catch (const std::exception& e) {
                throw UsageError("--keypads: " + std::string(e.what()));
            }
            if (value.find_first_of("0123456789") == std::string::npos)
                throw UsageError("--keypads: \"" + value + "\" names no keypad");
            o.Keypads = value;
        } else if (name == "csv") {
            if (value.empty())
                throw UsageError("--csv needs a file name");
            o.CsvPath = value;
        } else if (name == "question")
            o.Question = ToInt("--question", value, 1, 999999);
        else if (name == "wait")
            o.ListWaitSeconds = ToInt("--wait", value, 1, 3600);
        else if (name == "assign" || name == "unassign") {
            int n = 0;
            try {
                n = ParsePortArgument(value);
            } catch (const UsageError& e) {
                throw UsageError("--" + name + std::string(e.what()).substr(std::string("--port").size()));
            }
            (name == "assign" ? o.AssignPort : o.UnassignPort) = n;
        } else if (ParseSessionOption(o, name, value))
            continue;
        else {
            if (name == "power") {
                const std::string v = Lower(value);
                if (v != "low" && v != "lowmid" && v != "midhigh" && v != "high")
                    throw UsageError("--power: \"" + value + "\" is not low, lowmid, midhigh or high");
            } else if (name == "mode") {
                const std::string v = Lower(value);
                if (v != "manual" && v != "base")
                    throw UsageError("--mode: \"" + value + "\" is neither manual nor base");
            } else {
                ParseSwitch("--" + name, value);
            }
            o.Settings.emplace_back(name, Lower(value));
        }
    }

    ParseSessionSwitches(o, switches, positional);

    if (o.Command == "lock")
        o.Keys = ParseKeys(positional);
    else if (o.AssignPort != 0) {
        if (positional.size() != 1 || o.UnassignPort != 0)
            throw UsageError(
                "ports: --assign N DEVICE pins one port to one device (and goes without --unassign)");
        o.AssignDevice = positional[0];
        if (!o.AssignDevice.starts_with("/"))
            throw UsageError("--assign: \"" + o.AssignDevice + "\" is not a device path (e.g. /dev/ttyUSB0)");
    } else if (o.Command == "channel") {
        if (positional.size() != 1)
            throw UsageError("channel: give one channel number, 1-15");
        o.Channel = ToInt("channel", positional[0], 1, 15);
    } else if (o.Command == "export") {
        // the session id, taken by ParseSessionSwitches
    } else if (!positional.empty())
        throw UsageError(o.Command + ": unexpected argument \"" + positional[0] + "\"");

    if (o.Command != "ports" && !IsStoreCommand(o.Command) && o.Port == 0)
        throw UsageError(o.Command + ": --port N is needed (kivra-diag ports lists them)");
    if (o.Command == "lock" && o.Keys.empty())
        throw UsageError("lock: name the keys to lock, e.g. kivra-diag lock --port 1 1 2 3");
    if (o.Command == "set" && o.Settings.empty())
        throw UsageError("set: name at least one setting (see kivra-diag set --help)");
    return o;
}

std::string HelpText(const std::string& command)
{
    const auto& help = CommandHelp();
    const auto it = help.find(command);
    return it == help.end() ? kOverview : it->second;
}

} // namespace kivra::diag
