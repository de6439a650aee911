// kivra-diag's poll sessions against the simulated base, in-process: poll --record read back with
// sessions and export, poll --json, poll --reconnect across an unplugged and a returning base,
// and the command lines these take.

#include "basesim/BaseSimulator.h"
#include "diag/DiagOptions.h"
#include "diag/DiagRecording.h"
#include "diag/DiagRun.h"
#include "tests/diag/DiagToolRunner.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <unistd.h>

using namespace kivra::basesim;
using namespace std::chrono_literals;
using kivra::diag::ExitCode;
using kivra::test::CountOf;
using kivra::test::RunDiagInProcess;

namespace {

constexpr int kPort = 3;

std::vector<std::string> Cmd(const std::string& command, const std::vector<std::string>& more = {})
{
    return kivra::test::OnPort(kPort, command, more);
}

int Code(ExitCode c)
{
    return static_cast<int>(c);
}

//! Three keypads with known serial numbers; soft keys on.
std::unique_ptr<BaseSimulator> StartBase()
{
    SimConfig cfg;
    cfg.SettingsD = 0xC4;
    cfg.Keypads = {{1, {0x12, 0x34, 0x56}}, {2, {0xAB, 0xCD, 0xEF}}, {3, {0x00, 0x00, 0x07}}};
    return kivra::test::StartSimulator(std::move(cfg), kPort);
}

std::string TempPath(const std::string& name)
{
    return kivra::test::UsePrivatePortDirectory() + "/" + name;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Fields(const std::string& row)
{
    std::vector<std::string> fields;
    std::istringstream in(row);
    for (std::string f; std::getline(in, f, ',');)
        fields.push_back(f);
    if (!row.empty() && row.back() == ',')
        fields.emplace_back();
    return fields;
}

using Press = std::pair<int, char>; // keypad, key ('<', '=', '>' are soft keys)

//! Presses keys as the tool opens questions: each BeginQuestion ("PT") the simulator hears
//! releases the presses of that question, once the base streams.
class QuestionScript {
public:
    QuestionScript(BaseSimulator& sim, std::vector<std::vector<Press>> perQuestion)
        : sim_(sim), perQuestion_(std::move(perQuestion))
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
        timer_.start(50);
    }
    int Released() const { return released_; }

private:
    void Tick()
    {
        const auto commands = sim_.Commands();
        const int begun = static_cast<int>(std::count(commands.begin(), commands.end(), "PT"));
        while (released_ < begun && released_ < static_cast<int>(perQuestion_.size()) && sim_.Streaming()) {
            for (const auto& [keypad, key] : perQuestion_[static_cast<size_t>(released_)]) {
                if (key == '<' || key == '=' || key == '>')
                    sim_.SoftKey(keypad, key);
                else
                    sim_.Press(keypad, key);
            }
            ++released_;
        }
    }
    BaseSimulator& sim_;
    std::vector<std::vector<Press>> perQuestion_;
    int released_ = 0;
    QTimer timer_;
};

} // namespace

// Two questions recorded against the simulator, listed by sessions and exported as answers and
// as a gradebook with a roster.
TEST(DiagSessions, RecordListAndExport)
{
    const std::string db = TempPath("record.db");
    ::unlink(db.c_str());
    auto sim = StartBase();
    QuestionScript script(*sim, {{{1, '3'}, {2, '5'}}, {{1, '<'}, {3, '9'}}});
    const auto r = RunDiagInProcess(Cmd("poll", {"--record", "--title", "Quiz one", "--db", db, "--seconds",
                                                 "7", "--question-seconds", "4"}));
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(script.Released(), 2);
    EXPECT_NE(r.Out.find("Session 1 \"Quiz one\": 2 questions, 4 answers recorded in " + db),
              std::string::npos)
        << r.Out;
    EXPECT_NE(r.Err.find("question 2"), std::string::npos) << r.Err;

    const auto list = RunDiagInProcess({"sessions", "--db", db});
    ASSERT_EQ(list.Code, 0) << list.Err;
    const auto rows = Lines(list.Out);
    ASSERT_EQ(rows.size(), 3u) << list.Out;
    std::istringstream row(rows[1]);
    std::string id, date, time, questions, answers, title;
    row >> id >> date >> time >> questions >> answers;
    std::getline(row >> std::ws, title);
    EXPECT_EQ(id + " " + questions + " " + answers + " " + title, "1 2 4 Quiz one") << list.Out;
    EXPECT_EQ(rows[2], "1 sessions in " + db);

    const std::string csv = TempPath("answers.csv");
    const auto exported = RunDiagInProcess({"export", "1", "--csv", csv, "--db", db});
    ASSERT_EQ(exported.Code, 0) << exported.Err;
    const auto lines = Lines(ReadAll(csv));
    ASSERT_EQ(lines.size(), 5u) << ReadAll(csv);
    EXPECT_EQ(lines[0], "session,title,question,keypad,serial,name,key,label,received,ms,counted");
    std::set<std::string> got; // question keypad serial key counted
    for (size_t i = 1; i < lines.size(); ++i) {
        const auto f = Fields(lines[i]);
        ASSERT_EQ(f.size(), 11u) << lines[i];
        EXPECT_EQ(f[1], "Quiz one");
        EXPECT_GE(std::stoll(f[9]), 0) << lines[i];
        EXPECT_LT(std::stoll(f[9]), 4000) << lines[i];
        got.insert(f[2] + " " + f[3] + " " + f[4] + " " + f[6] + " " + f[10]);
    }
    EXPECT_EQ(got, (std::set<std::string>{"1 1 123456 3 yes", "1 2 ABCDEF 5 yes", "2 1 123456 < yes",
                                          "2 3 000007 9 yes"}));

    const std::string roster = TempPath("roster.csv"), book = TempPath("book.csv");
    std::ofstream(roster) << "name,keypad\nAnn Lee,1\nBo Chen,2\nCy Diaz,4\n";
    const auto graded =
        RunDiagInProcess({"export", "1", "--gradebook", "--roster", roster, "--csv", book, "--db", db});
    ASSERT_EQ(graded.Code, 0) << graded.Err;
    const auto bookLines = Lines(ReadAll(book));
    ASSERT_EQ(bookLines.size(), 5u) << ReadAll(book);
    EXPECT_EQ(bookLines[0], "name,keypad,serial,Q1,Q2,score");
    EXPECT_EQ(bookLines[1].substr(0, bookLines[1].rfind(',')), "Ann Lee,1,,3,<");
    EXPECT_EQ(bookLines[2].substr(0, bookLines[2].rfind(',')), "Bo Chen,2,,5,");
    EXPECT_EQ(bookLines[3].substr(0, bookLines[3].rfind(',')), "Cy Diaz,4,,,");
    EXPECT_EQ(bookLines[4].substr(0, bookLines[4].rfind(',')), ",3,000007,,9");

    // An unknown id and a bad roster: a clear message, a failing status, no file written.
    const std::string none = TempPath("none.csv");
    const auto unknown = RunDiagInProcess({"export", "99", "--csv", none, "--db", db});
    EXPECT_EQ(unknown.Code, Code(ExitCode::Failure));
    EXPECT_NE(unknown.Err.find("there is no session 99 in " + db), std::string::npos) << unknown.Err;
    EXPECT_NE(::access(none.c_str(), F_OK), 0);
    std::ofstream(roster, std::ios::trunc) << "name,keypad\nAnn Lee,1\nBo Chen,300\n";
    const auto badRoster = RunDiagInProcess({"export", "1", "--roster", roster, "--csv", none, "--db", db});
    EXPECT_EQ(badRoster.Code, Code(ExitCode::BadArguments));
    EXPECT_NE(badRoster.Err.find("line 3"), std::string::npos) << badRoster.Err;
    EXPECT_NE(::access(none.c_str(), F_OK), 0);
}

// A store that cannot be written does not stop the poll: one message names it, the answers wait
// and are written once it is back; if it never comes back, the status says answers were lost.
TEST(DiagSessions, StoreFailureWaitsAndRecovers)
{
    for (const bool comesBack : {true, false}) {
        const std::string blocker = TempPath(comesBack ? "blocker1" : "blocker2"), db = blocker + "/s.db";
        std::ofstream(blocker) << "a file where the store's folder should be";
        auto sim = StartBase();
        QuestionScript script(*sim, {{{1, '4'}, {2, '6'}}});
        QTimer unblock;
        QObject::connect(&unblock, &QTimer::timeout, [&] {
            if (comesBack && script.Released() > 0 && sim->AnswersSent() >= 2)
                ::unlink(blocker.c_str());
        });
        unblock.start(500);
        const auto r =
            RunDiagInProcess(Cmd("poll", {"--record", "--db", db, "--seconds", "4", "--keypads", "1-3"}));
        ::unlink(blocker.c_str());
        EXPECT_EQ(CountOf(r.Err, "session store: "), comesBack ? 2 : 1) << r.Err; // failure (and recovery)
        EXPECT_NE(r.Err.find("session store: Cannot"), std::string::npos) << r.Err;
        EXPECT_NE(r.Err.find(db), std::string::npos) << r.Err;
        if (comesBack) {
            EXPECT_EQ(r.Code, 0) << r.Err;
            EXPECT_NE(r.Out.find("Session 1 "), std::string::npos) << r.Out;
            EXPECT_NE(r.Out.find(": 1 questions, 2 answers recorded in " + db), std::string::npos) << r.Out;
        } else {
            EXPECT_EQ(r.Code, Code(ExitCode::Failure)) << r.Err;
            EXPECT_NE(r.Err.find("2 answers could not be written to " + db), std::string::npos) << r.Err;
            const auto kept = r.Err.find("answers are kept in ");
            ASSERT_NE(kept, std::string::npos) << r.Err;
            const std::string rescue = r.Err.substr(kept + 20, r.Err.find('\n', kept) - kept - 20);
            const auto rows = Lines(ReadAll(rescue));
            ::unlink(rescue.c_str());
            ASSERT_EQ(rows.size(), 3u) << rescue;
            EXPECT_EQ(Fields(rows[1])[3] + Fields(rows[1])[6] + Fields(rows[2])[3] + Fields(rows[2])[6],
                      "1426");
            EXPECT_EQ(r.Out.find("recorded in"), std::string::npos) << r.Out;
        }
    }
}

// --json: standard output holds one JSON object per answer and nothing else.
TEST(DiagSessions, JsonLinesMatchThePresses)
{
    auto sim = StartBase();
    QuestionScript script(*sim, {{{1, '3'}, {2, '='}, {3, '0'}}});
    const auto r = RunDiagInProcess(Cmd("poll", {"--json", "--seconds", "4"}));
    ASSERT_EQ(r.Code, 0) << r.Err;
    std::set<std::string> got;
    for (const std::string& line : Lines(r.Out)) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        ASSERT_TRUE(doc.isObject()) << "not a JSON object: " << line;
        const QJsonObject o = doc.object();
        EXPECT_EQ(o.value("question").toInt(), 1) << line;
        EXPECT_GE(o.value("elapsed_ms").toInteger(-1), 0) << line;
        EXPECT_LT(o.value("elapsed_ms").toInteger(-1), 4000) << line;
        got.insert(std::to_string(o.value("keypad").toInt()) + " " + o.value("key").toString().toStdString() +
                   " " + o.value("serial").toString().toStdString());
    }
    EXPECT_EQ(got, (std::set<std::string>{"1 3 123456", "2 = ABCDEF", "3 0 000007"})) << r.Out;
    EXPECT_NE(r.Err.find("Polled for "), std::string::npos) << r.Err; // the summary, on standard error

    EXPECT_EQ(kivra::diag::AnswerJson(4, "\"\n", "", 2, 15),
              R"({"keypad":4,"key":"\"\u000a","serial":null,"question":2,"elapsed_ms":15})");
}

// --reconnect: the base is unplugged, a new one appears on the same COM link, polling goes on and
// the summary counts the gap. Without a base coming back, Ctrl-C still ends the poll.
TEST(DiagSessions, ReconnectCountsTheGap)
{
    auto sim = StartBase();
    std::unique_ptr<BaseSimulator> second;
    bool unplugged = false;
    std::chrono::steady_clock::time_point unpluggedAt;
    QTimer script;
    QObject::connect(&script, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        if (!unplugged && sim->Streaming()) {
            sim->SetFailure(FailureMode::Unplug);
            unplugged = true;
            unpluggedAt = now;
        } else if (unplugged && !second && now - unpluggedAt > 2s) {
            sim->Stop();
            second = StartBase();
        } else if (second && second->Streaming() && second->AnswersSent() == 0) {
            second->Press(2, '8');
        }
    });
    script.start(100);
    const auto r = RunDiagInProcess(Cmd("poll", {"--reconnect", "--seconds", "14", "--keypads", "1-3"}));
    script.stop();
    ASSERT_TRUE(second);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(CountOf(r.Err, "link lost: "), 1) << r.Err;
    EXPECT_EQ(CountOf(r.Err, "connected again, polling"), 1) << r.Err;
    EXPECT_TRUE(second->Streaming() || second->AnswersSent() > 0);
    EXPECT_GE(second->AnswersSent(), 1u) << r.Out;
    const auto at = r.Out.find("Link gaps: 1, ");
    ASSERT_NE(at, std::string::npos) << r.Out;
    const double gap = std::stod(r.Out.substr(at + 14));
    EXPECT_GE(gap, 0.5) << r.Out; // at least the connect to the new base
    EXPECT_NE(r.Out.find("\n     2  8 "), std::string::npos) << "the answer after the gap: " << r.Out;
    EXPECT_LT(gap, 10.0) << r.Out;
    EXPECT_EQ(r.Out.find("still open"), std::string::npos) << r.Out;
    EXPECT_LT(r.CpuSeconds, 0.5 * r.Seconds) << r.CpuSeconds << " s of CPU in " << r.Seconds << " s";
    second.reset();

    // Gone for good: Ctrl-C while waiting ends it at once, with the open gap and status 5.
    auto third = StartBase();
    std::chrono::steady_clock::time_point thirdGone{};
    bool stopAsked = false;
    QTimer gone;
    QObject::connect(&gone, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        if (thirdGone == decltype(thirdGone){} && third->Streaming()) {
            third->SetFailure(FailureMode::Unplug);
            thirdGone = now;
        } else if (!stopAsked && thirdGone != decltype(thirdGone){} && now - thirdGone > 6s) {
            stopAsked = true; // noticed within 3 s: the tool waits for the base by now
            kivra::diag::RequestStop();
        }
    });
    gone.start(100);
    const auto stopped = RunDiagInProcess(Cmd("poll", {"--reconnect", "--seconds", "60"}));
    ASSERT_TRUE(stopAsked);
    EXPECT_EQ(stopped.Code, Code(ExitCode::LinkLost)) << stopped.Err;
    EXPECT_LT(stopped.Seconds, 20.0); // not the 60 s asked for
    EXPECT_NE(stopped.Out.find("Link gaps: 1, "), std::string::npos) << stopped.Out;
    EXPECT_NE(stopped.Out.find("(the last still open)"), std::string::npos) << stopped.Out;
}

// The command lines of the session commands: what goes together and what is refused.
TEST(DiagSessions, CommandLines)
{
    using kivra::diag::ParseArguments;
    const auto poll = ParseArguments({"poll", "--port", "2", "--record", "--title", "T", "--db", "x.db",
                                      "--question-seconds", "30", "--json", "--reconnect"});
    EXPECT_TRUE(poll.Record && poll.Json && poll.Reconnect);
    EXPECT_EQ(poll.Title + "|" + poll.Db + "|" + std::to_string(poll.QuestionSeconds), "T|x.db|30");
    const auto ex = ParseArguments({"export", "12", "--gradebook", "--csv", "-", "--roster", "r.csv"});
    EXPECT_EQ(ex.SessionId, 12);
    EXPECT_TRUE(ex.Gradebook);
    EXPECT_EQ(ParseArguments({"sessions"}).Port, 0); // no port needed

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"poll", "--port", "1", "--title", "T"},            // --title without --record
             {"poll", "--port", "1", "--question-seconds", "5"}, // without --record or --json
             {"poll", "--port", "1", "--record", "--question-seconds", "0"},
             {"poll", "--port", "1", "--gradebook"},
             {"identify", "--port", "1", "--json"},
             {"export", "--csv", "a.csv"}, // no id
             {"export", "1", "2", "--csv", "a.csv"},
             {"export", "x", "--csv", "a.csv"},
             {"export", "1"}, // no --csv
             {"sessions", "--title", "T"},
             {"poll", "--port", "1", "--record", "--db", "postgresql://"}}) {
        const auto r = RunDiagInProcess(bad);
        EXPECT_EQ(r.Code, Code(ExitCode::BadArguments)) << bad[0] << " " << bad.back() << ": " << r.Err;
    }
}

// Enter on standard input (a pipe here) advances; the end of input is seen.
TEST(DiagSessions, LineInputCountsEnterAndSeesTheEnd)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    kivra::diag::LineInput input(fds[0]);
    ASSERT_EQ(::write(fds[1], "\nnext\n", 6), 6);
    EXPECT_TRUE(kivra::test::WaitUntil([&] { return input.Lines() == 2; }, 2s));
    EXPECT_FALSE(input.Ended());
    ::close(fds[1]);
    EXPECT_TRUE(kivra::test::WaitUntil([&] { return input.Ended(); }, 2s));
    EXPECT_EQ(input.Lines(), 2);
    ::close(fds[0]);
}

// poll --record by hand: each Enter starts the next question, the end of input ends the poll.
TEST(DiagSessions, EnterAdvancesAndEndOfInputEnds)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    kivra::diag::DiagOptions o;
    o.Record = o.Json = true;
    o.Title = "By hand";
    o.Db = TempPath("byhand.db");
    std::ostringstream json, summary;
    std::vector<std::string> said;
    kivra::diag::PollRecording rec(
        o, json, [&](const std::string& m) { said.push_back(m); }, fds[0]);
    EXPECT_EQ(rec.Start(3), 1);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("Enter starts the next question"), std::string::npos) << said[0];
    EXPECT_FALSE(rec.Due());
    ASSERT_EQ(::write(fds[1], "\n", 1), 1);
    ASSERT_TRUE(kivra::test::WaitUntil([&] { return rec.Due(); }, 2s));
    EXPECT_EQ(rec.Advance(), 2);
    EXPECT_FALSE(rec.Due()) << "one Enter, one question";
    rec.KeypadData(5, 3);
    EXPECT_EQ(json.str().substr(0, 48), R"({"keypad":5,"key":"3","serial":null,"question":2)");
    ::close(fds[1]);
    ASSERT_TRUE(kivra::test::WaitUntil([&] { return rec.ShouldEnd(); }, 2s));
    EXPECT_TRUE(rec.Due());
    EXPECT_TRUE(rec.Finish(summary));
    EXPECT_EQ(summary.str(), "Session 1 \"By hand\": 2 questions, 1 answers recorded in " + o.Db + "\n");
    ::close(fds[0]);

    // --json into a reader that went away (a closed pipe): the poll ends instead of running on.
    o.Record = false;
    std::ostringstream gone;
    kivra::diag::PollRecording stream(
        o, gone, [&](const std::string& m) { said.push_back(m); }, -1);
    stream.Start(3);
    stream.KeypadData(1, 2);
    EXPECT_FALSE(stream.ShouldEnd());
    gone.setstate(std::ios::badbit);
    stream.KeypadData(1, 3);
    EXPECT_TRUE(stream.ShouldEnd());
    EXPECT_TRUE(stream.Due());
    EXPECT_EQ(said.back(), "standard output was closed: the poll ends");
}
