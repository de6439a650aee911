// The session store against SQLite files and a real PostgreSQL server started for this test
// program: schema and migration, batch writes read back, kill -9 recovery in a child process,
// and the failure paths (read-only, locked, damaged file; server stopped and restarted).
//
// The program runs as one CTest test so that one server serves all tests. It is also its own
// child: "--child record LOCATION" records answers until killed, "--child readonly PATH" runs
// the read-only scenario as an unprivileged user.

#include "session/SessionStore.h"
#include "session/SessionArchive.h"
#include "session/SessionRecorder.h"
#include "session/StoreDatabase.h"
#include "tests/session/PgServer.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <map>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivra;
using kivra::test::WaitUntil;

namespace {

std::unique_ptr<test::TPgServer> pgServer;
QString pgError;
bool pgTried = false;

test::TPgServer* Pg()
{
    if (!pgTried) {
        pgTried = true;
        pgServer = std::make_unique<test::TPgServer>();
        if (!pgServer->Create()) {
            pgError = pgServer->Error();
            pgServer.reset();
        }
    }
    return pgServer.get();
}

class TPgEnvironment : public ::testing::Environment {
public:
    void TearDown() override { pgServer.reset(); }
};

constexpr TStoreOptions FastOptions{50, 200, 5000};

// A fresh, empty location for each test: a SQLite file or a PostgreSQL database.
class TLocations {
public:
    QString Fresh(const std::string& engine)
    {
        static int count = 0; // databases live as long as the server: names never repeat
        const QString name = QStringLiteral("t%1").arg(++count);
        if (engine == "sqlite")
            return dir_.filePath(name + QStringLiteral(".db"));
        test::TPgServer* pg = Pg();
        if (pg == nullptr)
            return {};
        return pg->NewDatabase(name);
    }
    QString Dir() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};

int Count(const QString& location, const QString& sql)
{
    TStoreConnection c(*TStoreLocation::Parse(location));
    if (!c.Open())
        return -1;
    QSqlQuery q(c.Db());
    return q.exec(sql) && q.next() ? q.value(0).toInt() : -1;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (GetParam() == "postgres") {
            ASSERT_NE(Pg(), nullptr) << "PostgreSQL could not be started for the store tests: "
                                     << pgError.toStdString();
        }
        location_ = locations_.Fresh(GetParam());
        ASSERT_FALSE(location_.isEmpty()) << (pgServer ? pgServer->Error().toStdString() : "");
    }

    TLocations locations_;
    QString location_;
};

// ---- Schema -----------------------------------------------------------------------------------

TEST_P(StoreTest, OlderSchemaIsMigrated)
{
    {
        // A store as the first release left it: schema 1, one session with answers.
        TStoreConnection c(*TStoreLocation::Parse(location_));
        ASSERT_TRUE(c.Open(1)) << c.Error().toStdString();
        EXPECT_EQ(TStoreConnection::SchemaVersion(c.Db()), 1);
        for (const char* sql :
             {"INSERT INTO sessions (uid, title, started_at) VALUES ('u1', 'Old', 1000)",
              "INSERT INTO questions (session_id, number, opened_at, closed_at) VALUES (1, 1, 1000, 2000)",
              "INSERT INTO questions (session_id, number, opened_at) VALUES (1, 2, 3000)",
              "INSERT INTO answers (session_id, seq, question, keypad, key_code, received_at, elapsed_ms)"
              " VALUES (1, 1, 1, 5, '3', 1100, 100), (1, 2, 1, 6, '<', 1200, 200), (1, 3, 2, 5, '9', 3300, "
              "300)"})
            ASSERT_TRUE(c.Exec(QLatin1String(sql))) << c.Error().toStdString();
        EXPECT_FALSE(c.Exec(QStringLiteral("SELECT COUNT(*) FROM roster")));
    }
    TSessionArchive archive(location_);
    ASSERT_TRUE(archive.Open()) << archive.Error().toStdString();
    EXPECT_EQ(Count(location_, "SELECT MAX(version) FROM schema_version"), CurrentSchemaVersion);
    const auto list = archive.ListSessions();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Title, "Old");
    EXPECT_EQ(list[0].Questions, 2); // counters filled by the migration
    EXPECT_EQ(list[0].Answers, 3);
    const auto s = archive.LoadSession(list[0].Id);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->IsReadOnly());
    EXPECT_EQ(s->Results(1).Choice, (std::map<int, char>{{5, '3'}, {6, '<'}}));
    EXPECT_EQ(s->Question(2)->Answers.at(0).ElapsedMs, 300);
}

TEST_P(StoreTest, NewerSchemaIsRefused)
{
    {
        TStoreConnection c(*TStoreLocation::Parse(location_));
        ASSERT_TRUE(c.Open());
        ASSERT_TRUE(c.Exec(QStringLiteral("UPDATE schema_version SET version = 99")));
    }
    TSessionArchive archive(location_);
    EXPECT_FALSE(archive.Open());
    EXPECT_TRUE(archive.Error().contains("newer version")) << archive.Error().toStdString();

    TSessionStore store(location_, FastOptions);
    TSessionRecorder rec(&store, "t");
    rec.Start();
    ASSERT_TRUE(
        WaitUntil([&] { return store.Status().State == TStoreState::ssFailing; }, std::chrono::seconds(10)));
    EXPECT_TRUE(store.Status().Message.contains(store.Location()));
    EXPECT_EQ(store.Close(0), 0);
    EXPECT_EQ(Count(location_, "SELECT MAX(version) FROM schema_version"), -1); // refused by Open too
}

// ---- Writing and reading back -------------------------------------------------------------------

TEST_P(StoreTest, SessionsAreWrittenAndReadBack)
{
    TSessionStore store(location_, FastOptions);
    TSessionRecorder rec(&store, "Zoë's \"quiz\", 1", {TKeyLabels::klLetters, true});
    rec.SetRoster(TRoster({{"Ann Ørsted", 1, {}, 0}, {"名前", 0, "0ABC01", 0}}));
    rec.Start();
    rec.KeypadSerialNumber(2, "0ABC01");
    TInstant t = Now();
    auto later = [&](int ms) {
        t.WallMs += ms;
        t.MonoMs += ms;
        return t;
    };
    rec.OpenQuestion(t);
    for (int i = 0; i < 300; ++i)
        rec.Answer(1 + i % 120, KeyAt(i % KeyCount), later(3));
    rec.SetCorrectKey(1, '4');
    rec.CloseQuestion(later(10));
    rec.Answer(3, '1', later(10)); // late
    rec.OpenQuestion(later(10));
    rec.SoftkeyData(2, ">", later(10));
    rec.End(later(10));
    ASSERT_TRUE(store.Flush(20000)) << store.Status().Message.toStdString();
    EXPECT_EQ(store.Status().State, TStoreState::ssOk);
    EXPECT_EQ(store.Status().WrittenAnswers, 302);

    // Saved again (a batch retried after a lost acknowledgement): no duplicate.
    store.SaveAnswer(rec.Session(), rec.Session().Question(1)->Answers[0]);
    ASSERT_TRUE(store.Flush(10000));

    TSessionRecorder other(&store, "second");
    other.Start();
    ASSERT_TRUE(store.Flush(10000));

    TSessionArchive archive(location_);
    ASSERT_TRUE(archive.Open()) << archive.Error().toStdString();
    auto list = archive.ListSessions();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Title, "second"); // newest first
    EXPECT_EQ(list[1].Answers, 302);
    EXPECT_EQ(list[1].Questions, 2);
    EXPECT_NE(list[1].EndedMs, 0);

    const auto back = archive.LoadSession(list[1].Id);
    ASSERT_TRUE(back);
    const TPollSession& live = rec.Session();
    EXPECT_EQ(back->Uid(), live.Uid());
    EXPECT_EQ(back->Title(), live.Title());
    EXPECT_EQ(back->Options().KeyLabels, TKeyLabels::klLetters);
    EXPECT_TRUE(back->Options().FirstAnswerOnly);
    EXPECT_EQ(back->StartedMs(), live.StartedMs());
    EXPECT_EQ(back->EndedMs(), live.EndedMs());
    EXPECT_EQ(back->Roster().NameFor(7, "0ABC01"), "名前");
    EXPECT_EQ(back->ExpectedCount(), 2);
    ASSERT_EQ(back->Questions().size(), 2u);
    for (int n = 1; n <= 2; ++n) {
        const TPollQuestion& a = *live.Question(n);
        const TPollQuestion& b = *back->Question(n);
        EXPECT_EQ(b.OpenedMs, a.OpenedMs);
        EXPECT_EQ(b.ClosedMs, a.ClosedMs);
        EXPECT_EQ(b.CorrectKey, a.CorrectKey);
        ASSERT_EQ(b.Answers.size(), a.Answers.size());
        for (size_t i = 0; i < a.Answers.size(); ++i) {
            const TPollAnswer &x = a.Answers[i], &y = b.Answers[i];
            EXPECT_TRUE(x.Seq == y.Seq && x.Question == y.Question && x.Keypad == y.Keypad &&
                        x.Key == y.Key && x.ReceivedMs == y.ReceivedMs && x.ElapsedMs == y.ElapsedMs &&
                        x.Serial == y.Serial && x.Late == y.Late)
                << "answer " << x.Seq;
        }
        EXPECT_EQ(back->Results(n).Tally, live.Results(n).Tally);
        EXPECT_EQ(back->Results(n).Right, live.Results(n).Right);
    }

    EXPECT_TRUE(archive.DeleteSession(list[1].Id));
    EXPECT_FALSE(archive.LoadSession(list[1].Id));
    EXPECT_FALSE(archive.DeleteSession(list[1].Id));
    EXPECT_EQ(archive.ListSessions().size(), 1u);
    EXPECT_EQ(Count(location_, "SELECT COUNT(*) FROM answers"), 0);
}

// ---- kill -9 ------------------------------------------------------------------------------------

TEST_P(StoreTest, KillNineLosesAtMostTheLastSecond)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--child", "record", location_});
    ASSERT_TRUE(child.waitForStarted(10000));
    std::map<qint64, qint64> recorded; // seq -> wall ms when Answer() returned
    QString uid;
    QByteArray pending;
    auto readLines = [&] {
        pending += child.readAllStandardOutput();
        qsizetype nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            const QList<QByteArray> parts = pending.left(nl).split(' ');
            pending.remove(0, nl + 1);
            if (parts.size() == 2 && parts[0] == "uid")
                uid = QString::fromLatin1(parts[1]);
            else if (parts.size() == 2)
                recorded[parts[0].toLongLong()] = parts[1].toLongLong();
        }
    };
    // Let it record for about 2.5 s after its first answer.
    ASSERT_TRUE(WaitUntil(
        [&] {
            child.waitForReadyRead(20);
            readLines();
            return !recorded.empty() && QDateTime::currentMSecsSinceEpoch() - recorded.begin()->second > 2500;
        },
        std::chrono::seconds(30)))
        << child.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
    const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
    ASSERT_TRUE(child.waitForFinished(10000));
    readLines();
    ASSERT_FALSE(uid.isEmpty());

    TSessionArchive archive(location_);
    ASSERT_TRUE(archive.Open()) << archive.Error().toStdString();
    qint64 id = 0;
    for (const TSessionSummary& s : archive.ListSessions()) {
        if (s.Uid == uid)
            id = s.Id;
    }
    ASSERT_NE(id, 0) << "the session header did not survive";
    const auto s = archive.LoadSession(id);
    ASSERT_TRUE(s);
    std::vector<qint64> stored;
    for (const TPollAnswer& a : s->Question(1)->Answers)
        stored.push_back(a.Seq);
    // What survived is a gap-free beginning of what was recorded ...
    for (size_t i = 0; i < stored.size(); ++i)
        ASSERT_EQ(stored[i], static_cast<qint64>(i + 1));
    // ... and holds every answer recorded more than a second before the kill.
    qint64 old = 0;
    for (const auto& [seq, wall] : recorded)
        old += wall < killedAt - 1000;
    EXPECT_GE(static_cast<qint64>(stored.size()), old)
        << stored.size() << " stored of " << recorded.size() << " recorded";
    EXPECT_GT(old, 100);
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

// ---- SQLite failures -------------------------------------------------------------------------

// Records into a read-only file, sees the failure, makes the file writable and sees the answers
// written. Returns an empty text on success.
std::string ReadOnlyScenario(const QString& path)
{
    TSessionStore store(path, FastOptions);
    int failed = 0, recovered = 0;
    QObject::connect(&store, &TSessionStore::StoreFailed, [&] { ++failed; });
    QObject::connect(&store, &TSessionStore::StoreRecovered, [&] { ++recovered; });
    TSessionRecorder rec(&store, "read-only");
    rec.Start();
    rec.OpenQuestion();
    for (int k = 1; k <= 5; ++k)
        rec.KeypadData(k, k);
    if (!WaitUntil([&] { return store.Status().State == TStoreState::ssFailing; }, std::chrono::seconds(10)))
        return "no failure reported";
    WaitUntil([] { return false; }, std::chrono::milliseconds(600)); // retries must not repeat the message
    const TStoreStatus status = store.Status();
    if (!status.Message.contains(path) || status.WaitingAnswers != 5 || failed != 1)
        return "unexpected status: " + status.Message.toStdString() + " waiting " +
               std::to_string(status.WaitingAnswers) + " messages " + std::to_string(failed);
    // SQLite gives its -wal and -shm files the mode of the database: make all three writable.
    for (const QString& file : {path, path + "-wal", path + "-shm"}) {
        if (QFile::exists(file) && ::chmod(file.toLocal8Bit().constData(), 0644) != 0)
            return "chmod failed";
    }
    if (!WaitUntil([&] { return store.Status().State == TStoreState::ssOk && recovered == 1; },
                   std::chrono::seconds(10)))
        return "no recovery: " + store.Status().Message.toStdString();
    if (!store.Flush(10000))
        return "flush failed";
    if (Count(path, "SELECT COUNT(*) FROM answers") != 5)
        return "answers missing";
    return {};
}

class SqliteStoreTest : public ::testing::Test {
protected:
    QTemporaryDir dir_;
    QString Path() const { return dir_.filePath("sessions.db"); }
};

TEST_F(SqliteStoreTest, ReadOnlyFileHoldsAnswersUntilWritable)
{
    {
        TSessionStore store(Path(), FastOptions); // an existing store file
        TSessionRecorder rec(&store, "earlier");
        rec.Start();
        ASSERT_TRUE(store.Flush(10000));
    }
    ASSERT_EQ(::chmod(Path().toLocal8Bit().constData(), 0444), 0);
    if (::geteuid() != 0) {
        const std::string why = ReadOnlyScenario(Path());
        EXPECT_TRUE(why.empty()) << why;
        return;
    }
    // root writes anywhere: run the scenario as "nobody" in a child, owning the folder and file.
    const passwd* pw = ::getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    for (const QString& p : {dir_.path(), Path()})
        ASSERT_EQ(::chown(p.toLocal8Bit().constData(), pw->pw_uid, pw->pw_gid), 0);
    QProcess child;
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    child.setChildProcessModifier([uid, gid] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(127);
    });
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.setWorkingDirectory(dir_.path());
    child.start(QCoreApplication::applicationFilePath(), {"--child", "readonly", Path()});
    ASSERT_TRUE(child.waitForFinished(60000));
    EXPECT_EQ(child.exitCode(), 0) << child.readAll().toStdString();
}

TEST_F(SqliteStoreTest, LockedFileHoldsAnswersUntilReleased)
{
    TSessionStore store(Path(), FastOptions);
    int failed = 0, recovered = 0;
    QObject::connect(&store, &TSessionStore::StoreFailed, [&] { ++failed; });
    QObject::connect(&store, &TSessionStore::StoreRecovered, [&] { ++recovered; });
    TSessionRecorder rec(&store, "locked");
    rec.Start();
    rec.OpenQuestion();
    ASSERT_TRUE(store.Flush(10000));

    auto locker = std::make_unique<TStoreConnection>(*TStoreLocation::Parse(Path()));
    ASSERT_TRUE(locker->Open());
    ASSERT_TRUE(locker->Exec("BEGIN EXCLUSIVE"));
    for (int k = 1; k <= 20; ++k)
        rec.KeypadData(k, k % 10);
    ASSERT_TRUE(WaitUntil([&] { return failed == 1; }, std::chrono::seconds(10)));
    const TStoreStatus s = store.Status();
    EXPECT_EQ(s.State, TStoreState::ssFailing);
    EXPECT_TRUE(s.Message.contains(Path()) && s.Message.contains("locked")) << s.Message.toStdString();
    EXPECT_EQ(s.WaitingAnswers, 20);
    rec.KeypadData(21, 1); // recording goes on while the store fails

    ASSERT_TRUE(locker->Exec("ROLLBACK"));
    locker.reset();
    ASSERT_TRUE(WaitUntil([&] { return recovered == 1; }, std::chrono::seconds(10)));
    ASSERT_TRUE(store.Flush(10000));
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(store.Status().WaitingAnswers, 0);
    EXPECT_EQ(Count(Path(), "SELECT COUNT(*) FROM answers"), 21);
}

TEST_F(SqliteStoreTest, DamagedFileIsMovedAsideAndNamed)
{
    {
        QFile f(Path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(8192, 'x'));
    }
    TSessionStore store(Path(), FastOptions);
    QString message;
    QObject::connect(&store, &TSessionStore::StoreFailed, [&](const QString& m) { message = m; });
    TSessionRecorder rec(&store, "after damage");
    rec.Start();
    rec.OpenQuestion();
    rec.KeypadData(1, 1);
    ASSERT_TRUE(store.Flush(10000));
    ASSERT_TRUE(WaitUntil([&] { return !message.isEmpty(); }));
    const QString aside = store.Status().MovedAside;
    ASSERT_FALSE(aside.isEmpty());
    EXPECT_TRUE(message.contains(aside) && message.contains(Path())) << message.toStdString();
    QFile old(aside);
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), QByteArray(8192, 'x'));
    EXPECT_EQ(store.Status().State, TStoreState::ssOk);
    EXPECT_EQ(Count(Path(), "SELECT COUNT(*) FROM answers"), 1);
}

TEST_F(SqliteStoreTest, DefaultLocationIsUnderTheDataDirectory)
{
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", dir_.path().toLocal8Bit());
    {
        TSessionStore store;
        TSessionRecorder rec(&store);
        rec.Start();
        ASSERT_TRUE(store.Flush(10000));
        EXPECT_EQ(store.Location(), dir_.filePath("kivra/sessions.db"));
    }
    EXPECT_EQ(Count(dir_.filePath("kivra/sessions.db"), "SELECT COUNT(*) FROM sessions"), 1);
    qputenv("XDG_DATA_HOME", saved);

    TSessionStore bad("mysql://somewhere/db", FastOptions);
    ASSERT_TRUE(WaitUntil([&] { return bad.Status().State == TStoreState::ssFailing; }));
    EXPECT_TRUE(bad.Status().Message.contains("unknown kind of store")) << bad.Status().Message.toStdString();
}

// ---- PostgreSQL failures ---------------------------------------------------------------------

TEST(PostgresStoreTest, ServerStoppedThenRestarted)
{
    test::TPgServer* pg = Pg();
    ASSERT_NE(pg, nullptr) << "PostgreSQL could not be started for the store tests: "
                           << pgError.toStdString();
    const QString location = pg->NewDatabase("restart");
    ASSERT_FALSE(location.isEmpty()) << pg->Error().toStdString();
    TSessionStore store(location, FastOptions);
    int failed = 0, recovered = 0;
    QObject::connect(&store, &TSessionStore::StoreFailed, [&] { ++failed; });
    QObject::connect(&store, &TSessionStore::StoreRecovered, [&] { ++recovered; });
    TSessionRecorder rec(&store, "restart");
    rec.Start();
    rec.OpenQuestion();
    rec.KeypadData(1, 1);
    ASSERT_TRUE(store.Flush(10000));

    ASSERT_TRUE(pg->Stop()) << pg->Error().toStdString();
    for (int k = 2; k <= 30; ++k)
        rec.KeypadData(k, k % 10);
    ASSERT_TRUE(WaitUntil([&] { return failed == 1; }, std::chrono::seconds(20)));
    EXPECT_TRUE(store.Status().Message.contains(store.Location())) << store.Status().Message.toStdString();
    EXPECT_TRUE(store.Location().startsWith("postgresql://kivra@/restart"));
    EXPECT_EQ(store.Status().WaitingAnswers, 29);

    ASSERT_TRUE(pg->Start()) << pg->Error().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return recovered == 1; }, std::chrono::seconds(20)));
    ASSERT_TRUE(store.Flush(10000));
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(Count(location, "SELECT COUNT(*) FROM answers"), 30);
}

TEST(PostgresStoreTest, HangingServerIsReportedWithoutHoldingUpTheCaller)
{
    test::TPgServer* pg = Pg();
    ASSERT_NE(pg, nullptr) << "PostgreSQL could not be started for the store tests: "
                           << pgError.toStdString();
    const QString location = pg->NewDatabase("hanging");
    ASSERT_FALSE(location.isEmpty()) << pg->Error().toStdString();
    TSessionStore store(location, {50, 200, 1000});
    int failed = 0, recovered = 0;
    QString message;
    QObject::connect(&store, &TSessionStore::StoreFailed, [&](const QString& m) { ++failed, message = m; });
    QObject::connect(&store, &TSessionStore::StoreRecovered, [&] { ++recovered; });
    TSessionRecorder rec(&store, "hanging");
    rec.Start();
    rec.OpenQuestion();
    ASSERT_TRUE(store.Flush(10000));

    ASSERT_TRUE(pg->Freeze(true));
    struct TThaw {
        test::TPgServer* Pg;
        ~TThaw() { Pg->Freeze(false); }
    } thaw{pg};
    for (int k = 1; k <= 10; ++k)
        rec.KeypadData(k, k % 10); // the writer is stuck in the server; these return at once
    ASSERT_TRUE(WaitUntil([&] { return failed == 1; }, std::chrono::seconds(20)));
    EXPECT_TRUE(message.contains("does not answer") && message.contains(store.Location()))
        << message.toStdString();
    EXPECT_EQ(store.Status().State, TStoreState::ssFailing);
    EXPECT_EQ(store.Status().WaitingAnswers, 10);

    ASSERT_TRUE(pg->Freeze(false));
    ASSERT_TRUE(WaitUntil([&] { return recovered == 1; }, std::chrono::seconds(20)));
    ASSERT_TRUE(store.Flush(10000));
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(Count(location, "SELECT COUNT(*) FROM answers"), 10);
}

// ---- Children ----------------------------------------------------------------------------------

int RecordUntilKilled(const QString& location)
{
    TSessionStore store(location);
    TSessionRecorder rec(&store, "kill -9");
    rec.Start();
    rec.OpenQuestion();
    std::printf("uid %s\n", rec.Session().Uid().toLatin1().constData());
    for (int i = 0;; ++i) {
        rec.KeypadData(1 + i % 250, i % 10);
        std::printf("%lld %lld\n", static_cast<long long>(rec.Session().AnswerCount()),
                    static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
        std::fflush(stdout);
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::string(argv[1]) == "--child") {
        const std::string role = argv[2];
        const QString arg = QString::fromLocal8Bit(argv[3]);
        if (role == "record")
            return RecordUntilKilled(arg);
        if (role == "readonly") {
            const std::string why = ReadOnlyScenario(arg);
            std::fprintf(stderr, "%s\n", why.c_str());
            return why.empty() ? 0 : 1;
        }
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new TPgEnvironment);
    return RUN_ALL_TESTS();
}
