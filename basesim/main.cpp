// kivra-basesim: a simulated base station on a pseudo-terminal, registered as a COM port.

#include "basesim/BaseSimulator.h"
#include "basesim/PortLink.h"
#include "core/Exception.h"
#include "core/Version.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace kivra::basesim;

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int sig)
{
    const char b = static_cast<char>(sig);
    [[maybe_unused]] auto n = ::write(gSignalPipe[1], &b, 1);
}

const char* kHelp = R"(Usage: kivra-basesim [options]

Plays a radio base station with its keypads on a pseudo-terminal and registers it as a COM
port: a link COMn in the per-user port directory ($XDG_RUNTIME_DIR/kivra-ports, or
/tmp/kivra-ports-<uid>). A program that opens COMn reaches the simulator. The link is removed
when the simulator ends (quit, end of the program, Ctrl-C or SIGTERM). A link left behind by a
simulator that no longer runs is replaced; a link of a running simulator is never touched.

When ready, one line is printed on standard output:
  kivra-basesim: base on COMn (/dev/pts/N)

Options:
  --port N|auto|none  register as COMn (default 1); auto takes the first of COM1..COM16
                      that stands for no existing device; none registers nothing
  --generation G      newer (default): answers "WV" as a 420 base, with status, serial
                      number, channel, settings and keypad lists;
                      older: answers "WV" as a 410 base, nothing else;
                      legacy: never answers "WV"
  --keypads LIST      keypad numbers that exist, e.g. 1-40,45 (default 1-250); serial
                      numbers, batteries and firmware come from the seed
  --seed N            seed of every random choice (default 1)
  --rate R            random key presses per second over all keypads (default 2; 0 = none)
  --bps N             pace of the keypad data stream in bytes per second (default 960,
                      as a 9600-baud line; 0 = as fast as the reader takes them)
  --serial SSSSSS     base serial number, six letters or digits (default 104523)
  --channel N         radio channel 1-15 (default 7)
  --settings-c HH     keypad settings byte C in hex (default 00)
  --settings-d HH     keypad settings byte D in hex (default C0)
  --failure MODE      none (default), silent (no base at all), stall (no keypad data while
                      polling), unplug (the line goes away at once), noise (random bytes),
                      corrupt-length (frames with a broken length field), slow (answers
                      delayed, see --slow-ms)
  --noise-rate R      share of sent bytes replaced by random bytes in noise mode (default 0.01)
  --slow-ms N         delay of answers in slow mode (default 1500)
A base and a radio line that lie (each on its own, or all with --lie):
  --lying-lists       list entries hold the bytes 0D 0A FF, "S" and "T" (serial numbers,
                      status bytes); keypad 13's serial number begins 0A FF
  --filler            the five bytes behind a packet's states are random non-zero bytes
  --lying-noise R     a share R of noise bytes drawn from scan group letters, list markers
                      and tag letters, between units; inside a packet, one that is no scan
                      group letter takes the place of a state byte
  --bad-lengths R     a share R of frames carry a lying length field (not hexadecimal, too
                      short or too long)
  --empty-status      the answer to "WS" is a STATUS frame without content
  --split-writes      units go out in two or three writes, split at random points, a few ms
                      apart
  --lie               all of these, with --lying-noise 0.01 and --bad-lengths 0.2
  --trace PATH|-      trace both directions with time stamps and hex bytes to a file, or to
                      standard error with -
  --help              show this text
  --version           show the version and the commit built from

Keypads answer with a digit, "*" (when the star key is enabled in settings byte C), a soft
key < = > (when enabled in settings byte D), a low-battery warning (when enabled in byte C)
or a notification. Locked keys are not sent. Each answer is sent once, in the next packet
of its scan group.

Commands on standard input:
  press K D       keypad K presses key D (0-9 or *)
  soft K S        keypad K presses soft key S (<, = or >)
  lowbat K        keypad K warns of a low battery
  notify K        keypad K sends a notification
  unplug          the line goes away (until the simulator ends)
  stall           keypad data stops while polling; resume ends it
  noise R         replace a share R of the sent bytes by random bytes
  silent          answer nothing at all
  slow MS         delay answers by MS milliseconds
  corrupt         send frames with a broken length field
  resume          back to a healthy base
  generation G    newer, older or legacy
  status          show the base's state
  help            show these commands
  quit            end the simulator
)";

const char* kCommandHelp =
    "commands: press K D | soft K S | lowbat K | notify K | unplug | stall | noise R | "
    "silent | slow MS | corrupt | resume | generation G | status | help | quit\n";

[[noreturn]] void Fail(const std::string& text)
{
    std::fprintf(stderr, "kivra-basesim: %s\n", text.c_str());
    std::exit(2);
}

int ToInt(const std::string& text, const std::string& what, int base = 10)
{
    try {
        std::size_t used = 0;
        const int v = std::stoi(text, &used, base);
        if (used == text.size())
            return v;
    } catch (const std::exception&) {
    }
    Fail("invalid " + what + ": \"" + text + "\"");
}

double ToDouble(const std::string& text, const std::string& what)
{
    try {
        std::size_t used = 0;
        const double v = std::stod(text, &used);
        if (used == text.size() && v >= 0)
            return v;
    } catch (const std::exception&) {
    }
    Fail("invalid " + what + ": \"" + text + "\"");
}

bool ParseGeneration(const std::string& text, Generation& gen)
{
    if (text == "newer")
        gen = Generation::Newer;
    else if (text == "older")
        gen = Generation::Older;
    else if (text == "legacy")
        gen = Generation::Legacy;
    else
        return false;
    return true;
}

bool ParseFailure(const std::string& text, FailureMode& mode)
{
    static const std::pair<const char*, FailureMode> names[] = {
        {"none", FailureMode::None},
        {"silent", FailureMode::Silent},
        {"stall", FailureMode::StallWhilePolling},
        {"unplug", FailureMode::Unplug},
        {"noise", FailureMode::Noise},
        {"corrupt-length", FailureMode::CorruptLength},
        {"slow", FailureMode::SlowAnswers},
    };
    for (const auto& [name, m] : names)
        if (text == name) {
            mode = m;
            return true;
        }
    return false;
}

//! "1-40,45" -> keypads with serials drawn from the seed (those of the default set).
std::vector<SimKeypad> ParseKeypads(const std::string& text, std::uint32_t seed)
{
    // The default set holds every keypad with its seeded serial: pick from it.
    SimConfig all;
    all.Seed = seed;
    all.ComPort = 0;
    std::vector<bool> wanted(251, false);
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        const auto dash = item.find('-');
        const int from = ToInt(item.substr(0, dash), "keypad list");
        const int to = dash == std::string::npos ? from : ToInt(item.substr(dash + 1), "keypad list");
        if (from < 1 || to > 250 || from > to)
            Fail("keypad numbers run from 1 to 250: \"" + item + "\"");
        for (int n = from; n <= to; ++n)
            wanted[static_cast<std::size_t>(n)] = true;
    }
    std::vector<SimKeypad> out;
    for (const SimKeypad& k : DefaultKeypads(seed))
        if (wanted[static_cast<std::size_t>(k.Number)])
            out.push_back(k);
    if (out.empty())
        Fail("no keypads in \"" + text + "\"");
    return out;
}

const char* FailureName(FailureMode mode)
{
    switch (mode) {
    case FailureMode::None:
        return "none";
    case FailureMode::Silent:
        return "silent";
    case FailureMode::StallWhilePolling:
        return "stall";
    case FailureMode::Unplug:
        return "unplug";
    case FailureMode::Noise:
        return "noise";
    case FailureMode::CorruptLength:
        return "corrupt-length";
    case FailureMode::SlowAnswers:
        return "slow";
    }
    return "?";
}

//! One command line from a person; returns false on "quit".
bool RunCommand(BaseSimulator& sim, const std::string& line)
{
    std::istringstream in(line);
    std::string cmd;
    if (!(in >> cmd))
        return true;
    try {
        int k = 0;
        std::string arg;
        if (cmd == "press" && in >> k >> arg && arg.size() == 1)
            sim.Press(k, arg[0]);
        else if (cmd == "soft" && in >> k >> arg && arg.size() == 1)
            sim.SoftKey(k, arg[0]);
        else if (cmd == "lowbat" && in >> k)
            sim.LowBattery(k);
        else if (cmd == "notify" && in >> k)
            sim.Notify(k);
        else if (cmd == "unplug")
            sim.SetFailure(FailureMode::Unplug);
        else if (cmd == "stall")
            sim.SetFailure(FailureMode::StallWhilePolling);
        else if (cmd == "silent")
            sim.SetFailure(FailureMode::Silent);
        else if (cmd == "corrupt")
            sim.SetFailure(FailureMode::CorruptLength);
        else if (cmd == "resume")
            sim.SetFailure(FailureMode::None);
        else if (cmd == "noise" && in >> arg) {
            sim.SetNoiseRate(ToDouble(arg, "noise rate"));
            sim.SetFailure(FailureMode::Noise);
        } else if (cmd == "slow" && in >> k) {
            sim.SetSlowAnswerMs(k);
            sim.SetFailure(FailureMode::SlowAnswers);
        } else if (Generation gen{}; cmd == "generation" && in >> arg && ParseGeneration(arg, gen))
            sim.SetGeneration(gen);
        else if (cmd == "status") {
            std::printf("streaming %s, groups %s, channel %d, C %02X, D %02X, %s mode, failure %s, "
                        "%llu answers sent, %llu connects\n",
                        sim.Streaming() ? "on" : "off", sim.ActiveGroups().c_str(), sim.Channel(),
                        sim.SettingsC(), sim.SettingsD(), sim.TimestampMode() ? "timestamp" : "serial-number",
                        FailureName(sim.Failure()), static_cast<unsigned long long>(sim.AnswersSent()),
                        static_cast<unsigned long long>(sim.ConnectCount()));
            std::string locks;
            for (char key : std::string("0123456789*"))
                if (sim.KeyLocked(key))
                    locks += key;
            std::printf("locked keys: %s\n", locks.empty() ? "none" : locks.c_str());
        } else if (cmd == "help")
            std::fputs(kCommandHelp, stdout);
        else if (cmd == "quit" || cmd == "exit")
            return false;
        else
            std::printf("unknown command \"%s\"; %s", line.c_str(), kCommandHelp);
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
    }
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    SimConfig cfg;
    cfg.RandomPressesPerSecond = 2;
    cfg.SlowAnswerMs = 1500;
    bool autoPort = false;
    std::string keypads;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (opt == "--version") {
            std::printf("kivra-basesim %s\n", kivra::VersionText().c_str());
            return 0;
        }
        if (opt == "--lie") {
            cfg.Lie = Lies{true, true, 0.01, 0.2, true, true};
            continue;
        }
        if (opt == "--lying-lists" || opt == "--filler" || opt == "--empty-status" ||
            opt == "--split-writes") {
            (opt == "--lying-lists"    ? cfg.Lie.Lists
             : opt == "--filler"       ? cfg.Lie.Filler
             : opt == "--empty-status" ? cfg.Lie.EmptyStatus
                                       : cfg.Lie.SplitWrites) = true;
            continue;
        }
        if (i + 1 >= argc)
            Fail("unknown option or missing value: " + opt + " (see --help)");
        const std::string val = argv[++i];
        if (opt == "--port") {
            if (val == "auto")
                autoPort = true;
            else if (val == "none")
                cfg.ComPort = 0;
            else if ((cfg.ComPort = ToInt(val, "port")) < 1)
                Fail("invalid port: \"" + val + "\"");
        } else if (opt == "--generation") {
            if (!ParseGeneration(val, cfg.Gen))
                Fail("invalid generation: \"" + val + "\" (newer, older or legacy)");
        } else if (opt == "--keypads") {
            keypads = val;
        } else if (opt == "--seed") {
            cfg.Seed = static_cast<std::uint32_t>(ToInt(val, "seed"));
        } else if (opt == "--rate") {
            cfg.RandomPressesPerSecond = ToDouble(val, "rate");
        } else if (opt == "--bps") {
            cfg.BytesPerSecond = ToInt(val, "bytes per second");
        } else if (opt == "--serial") {
            if (val.size() != 6 || !std::all_of(val.begin(), val.end(), [](char c) {
                    return std::isalnum(static_cast<unsigned char>(c)) != 0;
                }))
                Fail("the base serial number is six letters or digits: \"" + val + "\"");
            cfg.BaseSerial = val;
        } else if (opt == "--channel") {
            cfg.Channel = ToInt(val, "channel");
            if (cfg.Channel < 1 || cfg.Channel > 15)
                Fail("the channel runs from 1 to 15: \"" + val + "\"");
        } else if (opt == "--settings-c" || opt == "--settings-d") {
            const int v = ToInt(val, "settings byte", 16);
            if (v < 0 || v > 0xFF)
                Fail("a settings byte is two hex digits: \"" + val + "\"");
            (opt == "--settings-c" ? cfg.SettingsC : cfg.SettingsD) = static_cast<std::uint8_t>(v);
        } else if (opt == "--failure") {
            if (!ParseFailure(val, cfg.Failure))
                Fail("invalid failure mode: \"" + val + "\" (see --help)");
        } else if (opt == "--noise-rate") {
            cfg.NoiseRate = ToDouble(val, "noise rate");
        } else if (opt == "--lying-noise" || opt == "--bad-lengths") {
            const double share =
                ToDouble(val, opt == "--lying-noise" ? "noise share" : "share of bad lengths");
            if (share > 1)
                Fail("a share runs from 0 to 1: \"" + val + "\"");
            (opt == "--lying-noise" ? cfg.Lie.Noise : cfg.Lie.BadLengths) = share;
        } else if (opt == "--slow-ms") {
            cfg.SlowAnswerMs = ToInt(val, "delay");
        } else if (opt == "--trace") {
            cfg.TracePath = val;
        } else {
            Fail("unknown option: " + opt + " (see --help)");
        }
    }
    if (!keypads.empty())
        cfg.Keypads = ParseKeypads(keypads, cfg.Seed);
    if (autoPort && (cfg.ComPort = FirstFreePort()) == 0)
        Fail("COM1 to COM16 are all taken");

    if (::pipe(gSignalPipe) != 0)
        Fail("cannot create a pipe");
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    BaseSimulator sim(cfg);
    try {
        sim.Start();
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    if (cfg.ComPort > 0)
        std::printf("kivra-basesim: base on COM%d (%s)\n", cfg.ComPort, sim.SlaveDevice().c_str());
    else
        std::printf("kivra-basesim: base on %s (not registered)\n", sim.SlaveDevice().c_str());
    std::fflush(stdout);

    // Standard input may end early (a script that runs us in the background): keep running
    // until "quit" or a signal.
    bool readStdin = true;
    std::string line;
    for (;;) {
        pollfd fds[2] = {{gSignalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, readStdin ? 2 : 1, -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN)
            break;
        if (readStdin && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[256];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                readStdin = false;
                continue;
            }
            line.append(buf, static_cast<std::size_t>(n));
            bool quit = false;
            for (std::size_t nl; !quit && (nl = line.find('\n')) != std::string::npos;) {
                quit = !RunCommand(sim, line.substr(0, nl));
                line.erase(0, nl + 1);
            }
            if (quit)
                break;
        }
    }
    sim.Stop();
    return 0;
}
