#include "tests/session/PgServer.h"

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <QFile>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace kivra::test {

namespace {

constexpr int Port = 5432; // only names the socket file inside our own directory
const char* const User = "kivra";

QString FindBin()
{
    QDir root(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toInt() > b.toInt(); });
    for (const QString& v : versions) {
        const QString bin = root.filePath(v + QStringLiteral("/bin"));
        if (QFileInfo::exists(bin + QStringLiteral("/initdb")) &&
            QFileInfo::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    return {};
}

} // namespace

TPgServer::~TPgServer()
{
    if (running_)
        Stop();
    if (!dir_.isEmpty())
        QDir(dir_).removeRecursively();
}

bool TPgServer::Run(const QString& program, const QStringList& args, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    env.remove(QStringLiteral("PGDATA"));
    p.setProcessEnvironment(env);
    if (::geteuid() == 0) {
        const passwd* pw = ::getpwnam("postgres");
        const uid_t uid = pw->pw_uid;
        const gid_t gid = pw->pw_gid;
        p.setChildProcessModifier([uid, gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(127);
        });
    }
    p.start(bin_ + QLatin1Char('/') + program, args);
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(2000);
        }
        error_ =
            QStringLiteral("%1 %2 failed: %3")
                .arg(program, args.join(QLatin1Char(' ')), QString::fromLocal8Bit(p.readAll()).trimmed());
        return false;
    }
    return true;
}

bool TPgServer::Create()
{
    bin_ = FindBin();
    if (bin_.isEmpty()) {
        error_ = QStringLiteral("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb); "
                                "scripts/install-deps installs it");
        return false;
    }
    char pattern[] = "/tmp/kivra-pg-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error_ = QStringLiteral("cannot make a temporary directory");
        return false;
    }
    dir_ = QString::fromLocal8Bit(pattern);
    if (::geteuid() == 0) {
        const passwd* pw = ::getpwnam("postgres");
        if (pw == nullptr) {
            error_ = QStringLiteral("running as root and there is no \"postgres\" user to run the server as");
            return false;
        }
        if (::chown(pattern, pw->pw_uid, pw->pw_gid) != 0) {
            error_ = QStringLiteral("cannot hand %1 to the postgres user").arg(dir_);
            return false;
        }
    }
    if (!Run(QStringLiteral("initdb"),
             {QStringLiteral("-D"), dir_ + QStringLiteral("/data"), QStringLiteral("-U"), QLatin1String(User),
              QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
              QStringLiteral("--locale=C"), QStringLiteral("--no-sync")},
             60000))
        return false;
    return Start();
}

bool TPgServer::Start()
{
    const QString options =
        QStringLiteral("-k %1 -p %2 -c listen_addresses= -c fsync=off -c full_page_writes=off "
                       "-c synchronous_commit=off")
            .arg(dir_)
            .arg(Port);
    running_ = Run(QStringLiteral("pg_ctl"),
                   {QStringLiteral("-D"), dir_ + QStringLiteral("/data"), QStringLiteral("-l"),
                    dir_ + QStringLiteral("/log"), QStringLiteral("-w"), QStringLiteral("-t"),
                    QStringLiteral("30"), QStringLiteral("-o"), options, QStringLiteral("start")},
                   40000);
    return running_;
}

bool TPgServer::Stop()
{
    const bool ok = Run(QStringLiteral("pg_ctl"),
                        {QStringLiteral("-D"), dir_ + QStringLiteral("/data"), QStringLiteral("-m"),
                         QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")},
                        40000);
    running_ = running_ && !ok;
    return ok;
}

bool TPgServer::Freeze(bool frozen)
{
    QFile pidFile(dir_ + QStringLiteral("/data/postmaster.pid"));
    if (!pidFile.open(QIODevice::ReadOnly))
        return false;
    const pid_t postmaster = pidFile.readLine().trimmed().toInt();
    if (postmaster <= 0)
        return false;
    std::vector<pid_t> pids{postmaster};
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...: the parent follows the closing parenthesis.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> rest = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 1 && rest[1].toInt() == postmaster)
            pids.push_back(entry.toInt());
    }
    bool ok = true;
    for (pid_t pid : pids)
        ok = ::kill(pid, frozen ? SIGSTOP : SIGCONT) == 0 && ok;
    return ok;
}

QString TPgServer::Url(const QString& database) const
{
    return QStringLiteral("postgresql://%1@/%2?host=%3&port=%4")
        .arg(QLatin1String(User), database, dir_)
        .arg(Port);
}

QString TPgServer::NewDatabase(const QString& name)
{
    bool created = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("pg-admin"));
        db.setHostName(dir_);
        db.setPort(Port);
        db.setUserName(QLatin1String(User));
        db.setDatabaseName(QStringLiteral("postgres"));
        if (!db.open()) {
            error_ = db.lastError().text();
        } else {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("CREATE DATABASE %1").arg(name)))
                created = true;
            else
                error_ = q.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("pg-admin"));
    return created ? Url(name) : QString();
}

} // namespace kivra::test
