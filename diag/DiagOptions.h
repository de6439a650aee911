#pragma once
// Command line of kivra-diag: the command, its options, the exit codes and the help texts.

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kivra::diag {

//! Exit status of kivra-diag; documented in the help text and the README.
enum class ExitCode : int {
    Ok = 0,
    Failure = 1,         // anything not listed below (e.g. an answer that never came)
    BadArguments = 2,    // unknown command or option, missing or invalid value
    NoBase = 3,          // no such device, or nothing answered on the port
    PortUnavailable = 4, // the device is in use by another program, or permission is refused
    LinkLost = 5,        // the base stopped answering or went away during the session
    Unsupported = 6      // the base's generation has no such function (an older or legacy base)
};

//! A command line the tool cannot run; the text names what is wrong.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct DiagOptions {
    std::string Command; // ports identify poll serials timestamps set lock unlock channel; "" = none
    bool Help = false;
    bool Trace = false;
    int Port = 0;             // 1..16; 0 = not given
    int Timeout = 3000;       // CommunicationTimeout in ms
    int Seconds = 10;         // poll and timestamps
    std::string Keypads;      // range text for poll; "" = every keypad of the base
    std::string CsvPath;      // "" = none
    int Question = 1;         // timestamps
    int ListWaitSeconds = 15; // how long to wait for a keypad list
    std::string Keys;         // lock: the keys to lock, '0'-'9' and '*', in order, no repeats
    int Channel = 0;          // channel: 1..15
    int AssignPort = 0;       // ports --assign N DEVICE: pin COM N (1..16) to DEVICE
    std::string AssignDevice; // the DEVICE of --assign
    int UnassignPort = 0;     // ports --unassign N: remove the pin of COM N
    //! set: the settings in command-line order, as (option name without "--", value as given).
    std::vector<std::pair<std::string, std::string>> Settings;

    // Poll sessions: poll --record/--json/--reconnect, sessions, export.
    bool Record = false;     // poll: keep the answers in the session store
    bool Json = false;       // poll: one JSON object per answer on standard output
    bool Reconnect = false;  // poll: wait for a lost base to come back and carry on
    std::string Title;       // poll --record: the session's title; "" = date and time
    std::string Db;          // the session store's location; "" = the default SQLite file
    int QuestionSeconds = 0; // poll: seconds per question; 0 = Enter on standard input advances
    long long SessionId = 0; // export
    bool Gradebook = false;  // export: the gradebook instead of the answers
    std::string RosterPath;  // export: names from this roster file
};

//! Parses the arguments after the program name; throws UsageError.
DiagOptions ParseArguments(const std::vector<std::string>& args);

//! The overview (no command) or the help of one command.
std::string HelpText(const std::string& command);

//! "COM3", "3", "com3" or "\\.\COM12" -> 3; throws UsageError outside 1..16.
int ParsePortArgument(const std::string& text);

//! "on"/"off"/"yes"/"no"/"true"/"false"/"1"/"0"; throws UsageError.
bool ParseSwitch(const std::string& option, const std::string& text);

//! The keypad setting options of "set", in the order shown by identify.
const std::vector<std::string>& SettingOptionNames();

} // namespace kivra::diag
