#include "session/StoreDatabase.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUrl>

#include <atomic>
#include <functional>
#include <vector>

namespace kivra {

// ---- Locations ----------------------------------------------------------------------------

QString TStoreLocation::DefaultSqlitePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/kivra/sessions.db");
}

std::optional<TStoreLocation> TStoreLocation::Parse(const QString& text, QString* error)
{
    auto fail = [&](const QString& why) -> std::optional<TStoreLocation> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    TStoreLocation loc;
    const QString t = text.trimmed();
    if (t.isEmpty()) {
        loc.Path = DefaultSqlitePath();
        return loc;
    }
    if (t.startsWith(QLatin1String("sqlite:"), Qt::CaseInsensitive)) {
        QString path = t.mid(7);
        if (path.startsWith(QLatin1String("//")))
            path = path.mid(2);
        if (path.isEmpty())
            return fail(QStringLiteral("\"%1\" names no file").arg(t));
        loc.Path = QUrl::fromPercentEncoding(path.toUtf8());
        return loc;
    }
    const qsizetype scheme = t.indexOf(QLatin1String("://"));
    if (scheme < 0) {
        loc.Path = t;
        return loc;
    }
    const QString name = t.left(scheme).toLower();
    if (name != QLatin1String("postgresql") && name != QLatin1String("postgres"))
        return fail(QStringLiteral("\"%1\": unknown kind of store \"%2\" (use a file path, sqlite:// or "
                                   "postgresql://)")
                        .arg(t, name));
    loc.Engine = TStoreEngine::sePostgres;
    QString rest = t.mid(scheme + 3);
    QString query;
    if (const qsizetype q = rest.indexOf(QLatin1Char('?')); q >= 0) {
        query = rest.mid(q + 1);
        rest = rest.left(q);
    }
    QString authority = rest;
    if (const qsizetype slash = rest.indexOf(QLatin1Char('/')); slash >= 0) {
        authority = rest.left(slash);
        loc.Database = QUrl::fromPercentEncoding(rest.mid(slash + 1).toUtf8());
    }
    if (const qsizetype at = authority.lastIndexOf(QLatin1Char('@')); at >= 0) {
        const QString user = authority.left(at);
        authority = authority.mid(at + 1);
        const qsizetype colon = user.indexOf(QLatin1Char(':'));
        loc.User = QUrl::fromPercentEncoding(user.left(colon < 0 ? user.size() : colon).toUtf8());
        if (colon >= 0)
            loc.Password = QUrl::fromPercentEncoding(user.mid(colon + 1).toUtf8());
    }
    QString host = authority;
    if (const qsizetype colon = authority.lastIndexOf(QLatin1Char(':'));
        colon >= 0 && !authority.endsWith(QLatin1Char(']'))) {
        host = authority.left(colon);
        bool ok = false;
        loc.Port = authority.mid(colon + 1).toInt(&ok);
        if (!ok || loc.Port <= 0 || loc.Port > 65535)
            return fail(QStringLiteral("\"%1\": bad port").arg(t));
    }
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    loc.Host = QUrl::fromPercentEncoding(host.toUtf8());
    QStringList extra;
    for (const QString& pair : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype eq = pair.indexOf(QLatin1Char('='));
        const QString key = pair.left(eq < 0 ? pair.size() : eq);
        const QString value = eq < 0 ? QString() : QUrl::fromPercentEncoding(pair.mid(eq + 1).toUtf8());
        if (key == QLatin1String("host")) {
            loc.Host = value;
        } else if (key == QLatin1String("port")) {
            bool ok = false;
            loc.Port = value.toInt(&ok);
            if (!ok || loc.Port <= 0 || loc.Port > 65535)
                return fail(QStringLiteral("\"%1\": bad port").arg(t));
        } else if (key == QLatin1String("user")) {
            loc.User = value;
        } else if (key == QLatin1String("password")) {
            loc.Password = value;
        } else if (key == QLatin1String("dbname")) {
            loc.Database = value;
        } else if (!key.isEmpty()) {
            if (value.contains(QLatin1Char(';')) || value.contains(QLatin1Char(' ')))
                return fail(QStringLiteral("\"%1\": bad value for %2").arg(t, key));
            extra << key + QLatin1Char('=') + value;
        }
    }
    loc.Options = extra.join(QLatin1Char(';'));
    if (loc.Database.isEmpty())
        return fail(QStringLiteral("\"%1\" names no database").arg(t));
    return loc;
}

QString TStoreLocation::Display() const
{
    if (Engine == TStoreEngine::seSqlite)
        return Path;
    QString s = QStringLiteral("postgresql://");
    if (!User.isEmpty())
        s += User + QLatin1Char('@');
    const bool socket = Host.startsWith(QLatin1Char('/'));
    if (!socket) {
        s += Host.contains(QLatin1Char(':')) ? QLatin1Char('[') + Host + QLatin1Char(']') : Host;
        if (Port)
            s += QLatin1Char(':') + QString::number(Port);
    }
    s += QLatin1Char('/') + Database;
    if (socket) {
        s += QStringLiteral("?host=") + Host;
        if (Port)
            s += QStringLiteral("&port=") + QString::number(Port);
    }
    return s;
}

// ---- Schema -------------------------------------------------------------------------------

namespace {

struct TMigration {
    int Version;
    std::function<QStringList(TStoreEngine)> Statements;
};

QStringList Migration1(TStoreEngine engine)
{
    const bool pg = engine == TStoreEngine::sePostgres;
    return {
        QStringLiteral("CREATE TABLE sessions ("
                       " id %1,"
                       " uid TEXT NOT NULL UNIQUE,"
                       " title TEXT NOT NULL,"
                       " started_at BIGINT NOT NULL,"
                       " ended_at BIGINT,"
                       " key_labels INTEGER NOT NULL DEFAULT 0,"
                       " first_answer_only INTEGER NOT NULL DEFAULT 0,"
                       " expected INTEGER NOT NULL DEFAULT 0)")
            .arg(pg ? QStringLiteral("BIGSERIAL PRIMARY KEY")
                    : QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT")),
        QStringLiteral("CREATE INDEX sessions_started ON sessions (started_at)"),
        QStringLiteral("CREATE TABLE questions ("
                       " session_id BIGINT NOT NULL REFERENCES sessions (id) ON DELETE CASCADE,"
                       " number INTEGER NOT NULL,"
                       " opened_at BIGINT NOT NULL,"
                       " closed_at BIGINT,"
                       " correct_key TEXT,"
                       " PRIMARY KEY (session_id, number))"),
        QStringLiteral("CREATE TABLE answers ("
                       " session_id BIGINT NOT NULL REFERENCES sessions (id) ON DELETE CASCADE,"
                       " seq BIGINT NOT NULL,"
                       " question INTEGER NOT NULL,"
                       " keypad INTEGER NOT NULL,"
                       " key_code TEXT NOT NULL,"
                       " received_at BIGINT NOT NULL,"
                       " elapsed_ms BIGINT NOT NULL,"
                       " serial TEXT,"
                       " late INTEGER NOT NULL DEFAULT 0,"
                       " PRIMARY KEY (session_id, seq))%1")
            .arg(pg ? QString() : QStringLiteral(" WITHOUT ROWID")),
    };
}

QStringList Migration2(TStoreEngine)
{
    return {
        QStringLiteral("CREATE TABLE roster ("
                       " session_id BIGINT NOT NULL REFERENCES sessions (id) ON DELETE CASCADE,"
                       " position INTEGER NOT NULL,"
                       " name TEXT NOT NULL,"
                       " keypad INTEGER,"
                       " serial TEXT,"
                       " PRIMARY KEY (session_id, position))"),
        QStringLiteral("ALTER TABLE sessions ADD COLUMN question_count INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE sessions ADD COLUMN answer_count BIGINT NOT NULL DEFAULT 0"),
        QStringLiteral(
            "UPDATE sessions SET"
            " question_count = (SELECT COUNT(*) FROM questions q WHERE q.session_id = sessions.id),"
            " answer_count = (SELECT COUNT(*) FROM answers a WHERE a.session_id = sessions.id)"),
    };
}

const std::vector<TMigration>& Migrations()
{
    static const std::vector<TMigration> all{{1, Migration1}, {2, Migration2}};
    return all;
}

std::atomic<int> connectionCounter{0};

} // namespace

bool IsDamageError(const QSqlError& error)
{
    const QString code = error.nativeErrorCode();
    if (code == QLatin1String("11") || code == QLatin1String("26"))
        return true;
    const QString text = error.databaseText();
    return text.contains(QLatin1String("malformed")) || text.contains(QLatin1String("not a database"));
}

// ---- Connection ---------------------------------------------------------------------------

TStoreConnection::TStoreConnection(TStoreLocation location)
    : location_(std::move(location)), name_(QStringLiteral("kivra-store-%1").arg(++connectionCounter))
{
}

TStoreConnection::~TStoreConnection()
{
    Close();
    db_ = QSqlDatabase();
    if (QSqlDatabase::contains(name_))
        QSqlDatabase::removeDatabase(name_);
}

bool TStoreConnection::IsOpen() const
{
    return db_.isValid() && db_.isOpen();
}

void TStoreConnection::Close()
{
    if (db_.isValid())
        db_.close();
}

void TStoreConnection::SetError(const QSqlError& e, const QString& what)
{
    damaged_ = location_.Engine == TStoreEngine::seSqlite && IsDamageError(e);
    QString text = e.databaseText().trimmed();
    if (text.isEmpty())
        text = e.driverText().trimmed();
    if (text.isEmpty())
        text = e.text().trimmed();
    error_ = what.isEmpty() ? text : what + QStringLiteral(": ") + text;
}

bool TStoreConnection::Exec(const QString& sql)
{
    QSqlQuery q(db_);
    if (q.exec(sql))
        return true;
    SetError(q.lastError());
    return false;
}

bool TStoreConnection::Begin()
{
    if (location_.Engine == TStoreEngine::seSqlite)
        return Exec(QStringLiteral("BEGIN IMMEDIATE"));
    if (db_.transaction())
        return true;
    SetError(db_.lastError());
    return false;
}

bool TStoreConnection::Commit()
{
    if (location_.Engine == TStoreEngine::seSqlite)
        return Exec(QStringLiteral("COMMIT"));
    if (db_.commit())
        return true;
    SetError(db_.lastError());
    return false;
}

void TStoreConnection::Rollback()
{
    const QString keep = error_;
    const bool damaged = damaged_;
    if (location_.Engine == TStoreEngine::seSqlite)
        Exec(QStringLiteral("ROLLBACK"));
    else
        db_.rollback();
    error_ = keep;
    damaged_ = damaged;
}

int TStoreConnection::SchemaVersion(QSqlDatabase& db, bool* ok)
{
    QSqlQuery q(db);
    const bool found = q.exec(QStringLiteral("SELECT MAX(version) FROM schema_version")) && q.next();
    if (ok)
        *ok = found;
    return found ? q.value(0).toInt() : 0;
}

bool TStoreConnection::OpenOnce()
{
    damaged_ = false;
    error_.clear();
    if (!db_.isValid()) {
        db_ = QSqlDatabase::addDatabase(location_.Engine == TStoreEngine::seSqlite ? QStringLiteral("QSQLITE")
                                                                                   : QStringLiteral("QPSQL"),
                                        name_);
        if (!db_.isValid()) {
            error_ = QStringLiteral("the Qt SQL driver for %1 is not installed")
                         .arg(location_.Engine == TStoreEngine::seSqlite ? QStringLiteral("SQLite")
                                                                         : QStringLiteral("PostgreSQL"));
            return false;
        }
    }
    if (location_.Engine == TStoreEngine::seSqlite) {
        const QFileInfo info(location_.Path);
        if (!QDir().mkpath(info.absolutePath())) {
            error_ = QStringLiteral("cannot create the folder %1").arg(info.absolutePath());
            return false;
        }
        db_.setDatabaseName(location_.Path);
        db_.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=1000"));
    } else {
        db_.setHostName(location_.Host);
        if (location_.Port)
            db_.setPort(location_.Port);
        db_.setUserName(location_.User);
        db_.setPassword(location_.Password);
        db_.setDatabaseName(location_.Database);
        // A server that vanishes must not hold the writer for long: bounded connect and dead-peer detection.
        QString options = QStringLiteral("connect_timeout=5;keepalives=1;keepalives_idle=5;"
                                         "keepalives_interval=2;keepalives_count=3");
        if (!location_.Options.isEmpty())
            options += QLatin1Char(';') + location_.Options;
        db_.setConnectOptions(options);
    }
    if (!db_.open()) {
        SetError(db_.lastError());
        return false;
    }
    if (location_.Engine == TStoreEngine::seSqlite) {
        // The first statement reads the file: a damaged one shows here.
        QSqlQuery q(db_);
        if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
            SetError(q.lastError());
            return false;
        }
        if (!Exec(QStringLiteral("PRAGMA synchronous=NORMAL")) ||
            !Exec(QStringLiteral("PRAGMA foreign_keys=ON")))
            return false;
    } else {
        if (!Exec(QStringLiteral("SET client_min_messages TO WARNING")))
            return false;
    }
    return true;
}

bool TStoreConnection::Open(int schemaVersion)
{
    movedAside_.clear();
    schemaVersion_ = schemaVersion;
    bool ok = OpenOnce() && Migrate(schemaVersion);
    if (!ok && damaged_)
        ok = ReplaceDamagedFile();
    if (!ok)
        Close();
    return ok;
}

bool TStoreConnection::ReplaceDamagedFile()
{
    Close();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = location_.Path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = location_.Path + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(location_.Path, aside)) {
        error_ = QStringLiteral("%1 is damaged and cannot be renamed").arg(location_.Path);
        return false;
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        const QString side = location_.Path + QLatin1String(suffix);
        if (QFileInfo::exists(side))
            QFile::rename(side, aside + QLatin1String(suffix));
    }
    movedAside_ = aside;
    return OpenOnce() && Migrate(schemaVersion_);
}

bool TStoreConnection::Migrate(int target)
{
    bool ok = false;
    int version = SchemaVersion(db_, &ok);
    if (ok && version == target)
        return true;
    if (!ok) {
        if (!Exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")))
            return false;
    }
    if (!Begin())
        return false;
    if (location_.Engine == TStoreEngine::sePostgres &&
        !Exec(QStringLiteral("LOCK TABLE schema_version IN EXCLUSIVE MODE"))) {
        Rollback();
        return false;
    }
    version = SchemaVersion(db_, &ok); // again, under the lock: another program may have migrated
    if (!ok) {
        SetError(QStringLiteral("cannot read the schema version"));
        Rollback();
        return false;
    }
    if (version > CurrentSchemaVersion) {
        error_ = QStringLiteral("the store was made by a newer version of this program (schema %1, this "
                                "program knows up to %2)")
                     .arg(version)
                     .arg(CurrentSchemaVersion);
        Rollback();
        return false;
    }
    for (const TMigration& m : Migrations()) {
        if (m.Version <= version || m.Version > target)
            continue;
        for (const QString& sql : m.Statements(location_.Engine)) {
            if (!Exec(sql)) {
                error_ = QStringLiteral("schema step %1 failed: %2").arg(m.Version).arg(error_);
                Rollback();
                return false;
            }
        }
        version = m.Version;
    }
    if (!Exec(QStringLiteral("DELETE FROM schema_version")) ||
        !Exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)").arg(version)) || !Commit()) {
        Rollback();
        return false;
    }
    return true;
}

} // namespace kivra
