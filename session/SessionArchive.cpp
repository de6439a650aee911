#include "session/SessionArchive.h"

#include <QSqlQuery>
#include <QVariant>

namespace kivra {

namespace {

char KeyOf(const QVariant& v)
{
    const QString s = v.toString();
    return s.size() == 1 && s[0].unicode() < 128 ? static_cast<char>(s[0].unicode()) : 0;
}

} // namespace

TSessionArchive::TSessionArchive(const QString& location)
{
    location_ = TStoreLocation::Parse(location, &error_);
    display_ = location_ ? location_->Display() : location;
}

TSessionArchive::~TSessionArchive() = default;

bool TSessionArchive::Open()
{
    if (!location_)
        return false;
    conn_ = std::make_unique<TStoreConnection>(*location_);
    if (conn_->Open()) {
        error_.clear();
        return true;
    }
    error_ = QStringLiteral("Cannot open the session store %1: %2").arg(display_, conn_->Error());
    return false;
}

bool TSessionArchive::IsOpen() const
{
    return conn_ && conn_->IsOpen();
}

QString TSessionArchive::MovedAside() const
{
    return conn_ ? conn_->MovedAside() : QString();
}

std::vector<TSessionSummary> TSessionArchive::ListSessions()
{
    std::vector<TSessionSummary> list;
    if (!IsOpen())
        return list;
    QSqlQuery q(conn_->Db());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral(
            "SELECT id, uid, title, started_at, ended_at, question_count, answer_count,"
            " key_labels, first_answer_only FROM sessions ORDER BY started_at DESC, id DESC"))) {
        conn_->SetError(q.lastError());
        error_ = conn_->Error();
        return list;
    }
    while (q.next()) {
        TSessionSummary s;
        s.Id = q.value(0).toLongLong();
        s.Uid = q.value(1).toString();
        s.Title = q.value(2).toString();
        s.StartedMs = q.value(3).toLongLong();
        s.EndedMs = q.value(4).isNull() ? 0 : q.value(4).toLongLong();
        s.Questions = q.value(5).toInt();
        s.Answers = q.value(6).toLongLong();
        s.Options.KeyLabels = q.value(7).toInt() == 1 ? TKeyLabels::klLetters : TKeyLabels::klDigits;
        s.Options.FirstAnswerOnly = q.value(8).toInt() != 0;
        list.push_back(std::move(s));
    }
    return list;
}

std::vector<qint64> TSessionArchive::SessionIds()
{
    std::vector<qint64> ids;
    if (!IsOpen())
        return ids;
    QSqlQuery q(conn_->Db());
    q.setForwardOnly(true);
    if (q.exec(QStringLiteral("SELECT id FROM sessions ORDER BY started_at, id"))) {
        while (q.next())
            ids.push_back(q.value(0).toLongLong());
    }
    return ids;
}

std::optional<TPollSession> TSessionArchive::LoadSession(qint64 id)
{
    if (!IsOpen())
        return std::nullopt;
    auto failed = [&](const QSqlQuery& q) -> std::optional<TPollSession> {
        conn_->SetError(q.lastError());
        error_ = conn_->Error();
        return std::nullopt;
    };
    TPollSession::TStored st;
    QSqlQuery q(conn_->Db());
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT uid, title, started_at, ended_at, key_labels, first_answer_only, expected"
                       " FROM sessions WHERE id = ?"));
    q.addBindValue(id);
    if (!q.exec())
        return failed(q);
    if (!q.next())
        return std::nullopt;
    st.Id = id;
    st.Uid = q.value(0).toString();
    st.Title = q.value(1).toString();
    st.StartedMs = q.value(2).toLongLong();
    st.EndedMs = q.value(3).isNull() ? 0 : q.value(3).toLongLong();
    st.Options.KeyLabels = q.value(4).toInt() == 1 ? TKeyLabels::klLetters : TKeyLabels::klDigits;
    st.Options.FirstAnswerOnly = q.value(5).toInt() != 0;
    st.ExpectedKeypads = q.value(6).toInt();

    q.prepare(
        QStringLiteral("SELECT name, keypad, serial FROM roster WHERE session_id = ? ORDER BY position"));
    q.addBindValue(id);
    if (!q.exec())
        return failed(q);
    std::vector<TRosterEntry> roster;
    while (q.next())
        roster.push_back({q.value(0).toString(), q.value(1).toInt(), q.value(2).toString(), 0});
    st.Roster = TRoster(std::move(roster));
    if (!st.Roster.IsEmpty())
        st.ExpectedKeypads = 0; // the stored count was the roster's

    q.prepare(QStringLiteral("SELECT number, opened_at, closed_at, correct_key FROM questions"
                             " WHERE session_id = ? ORDER BY number"));
    q.addBindValue(id);
    if (!q.exec())
        return failed(q);
    while (q.next()) {
        TPollQuestion question;
        question.Number = q.value(0).toInt();
        question.OpenedMs = q.value(1).toLongLong();
        question.ClosedMs = q.value(2).isNull() ? 0 : q.value(2).toLongLong();
        question.CorrectKey = KeyOf(q.value(3));
        // Numbers are 1, 2, ... ; fill a gap a failed write may have left so numbers stay indexes.
        while (static_cast<int>(st.Questions.size()) + 1 < question.Number) {
            TPollQuestion gap;
            gap.Number = static_cast<int>(st.Questions.size()) + 1;
            gap.OpenedMs = gap.ClosedMs = question.OpenedMs;
            st.Questions.push_back(gap);
        }
        st.Questions.push_back(std::move(question));
    }

    q.prepare(QStringLiteral("SELECT seq, question, keypad, key_code, received_at, elapsed_ms, serial, late"
                             " FROM answers WHERE session_id = ? ORDER BY seq"));
    q.addBindValue(id);
    if (!q.exec())
        return failed(q);
    while (q.next()) {
        TPollAnswer a;
        a.Seq = q.value(0).toLongLong();
        a.Question = q.value(1).toInt();
        a.Keypad = q.value(2).toInt();
        a.Key = KeyOf(q.value(3));
        a.ReceivedMs = q.value(4).toLongLong();
        a.ElapsedMs = q.value(5).toLongLong();
        a.Serial = q.value(6).toString();
        a.Late = q.value(7).toInt() != 0;
        if (a.Question < 1 || !IsValidKey(a.Key))
            continue;
        while (static_cast<int>(st.Questions.size()) < a.Question) {
            // An answer whose question row was lost with the last second before a crash.
            TPollQuestion gap;
            gap.Number = static_cast<int>(st.Questions.size()) + 1;
            gap.OpenedMs = a.ReceivedMs - a.ElapsedMs;
            st.Questions.push_back(gap);
        }
        st.Questions[static_cast<size_t>(a.Question - 1)].Answers.push_back(std::move(a));
    }
    return TPollSession::FromStored(std::move(st));
}

bool TSessionArchive::DeleteSession(qint64 id)
{
    if (!IsOpen())
        return false;
    if (!conn_->Begin()) {
        error_ = conn_->Error();
        return false;
    }
    QSqlQuery q(conn_->Db());
    for (const char* table : {"answers", "questions", "roster"}) {
        q.prepare(QStringLiteral("DELETE FROM %1 WHERE session_id = ?").arg(QLatin1String(table)));
        q.addBindValue(id);
        if (!q.exec()) {
            conn_->SetError(q.lastError());
            error_ = conn_->Error();
            conn_->Rollback();
            return false;
        }
    }
    q.prepare(QStringLiteral("DELETE FROM sessions WHERE id = ?"));
    q.addBindValue(id);
    if (!q.exec()) {
        conn_->SetError(q.lastError());
        error_ = conn_->Error();
        conn_->Rollback();
        return false;
    }
    const bool existed = q.numRowsAffected() > 0;
    if (!conn_->Commit()) {
        error_ = conn_->Error();
        conn_->Rollback();
        return false;
    }
    if (!existed)
        error_ = QStringLiteral("There is no session %1 in %2.").arg(id).arg(display_);
    return existed;
}

} // namespace kivra
