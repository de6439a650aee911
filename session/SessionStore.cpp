#include "session/SessionStore.h"

#include <QPointer>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <variant>

namespace kivra {

namespace {

struct TSessionRecord {
    QString Uid, Title;
    TSessionOptions Options;
    qint64 StartedMs = 0, EndedMs = 0;
    int Expected = 0;
    std::vector<TRosterEntry> Roster;
};

struct TQuestionRecord {
    QString Uid;
    int Number = 0;
    qint64 OpenedMs = 0, ClosedMs = 0;
    char CorrectKey = 0;
};

struct TAnswerRecord {
    QString Uid;
    TPollAnswer Answer;
};

using TRecord = std::variant<TSessionRecord, TQuestionRecord, TAnswerRecord>;

constexpr size_t MaxBatch = 5000;

qint64 MonoMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QVariant NullableMs(qint64 ms)
{
    return ms == 0 ? QVariant(QMetaType(QMetaType::LongLong)) : QVariant(ms);
}

QVariant NullableText(const QString& text)
{
    return text.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(text);
}

QVariant NullableKey(char key)
{
    return key == 0 ? QVariant(QMetaType(QMetaType::QString)) : QVariant(QString(QChar(key)));
}

} // namespace

// The writer: a thread of its own with its own connection. Everything shared with the callers
// is guarded by mutex_; ids_, written headers and the connection belong to the thread alone.
class TSessionStore::TWriter {
public:
    TWriter(const QString& location, TStoreOptions options, TSessionStore* owner)
        : options_(options), owner_(owner)
    {
        QString error;
        if (auto loc = TStoreLocation::Parse(location, &error)) {
            location_ = *loc;
            display_ = location_->Display();
        } else {
            display_ = location;
            badLocation_ = error;
        }
    }

    void Start(const std::shared_ptr<TWriter>& self)
    {
        thread_ = std::thread([self] { self->Run(); });
    }

    void Push(TRecord record, bool answer)
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        const bool wake = queue_.empty(); // the writer sleeps only on an empty queue
        queue_.push_back(std::move(record));
        if (answer)
            ++waitingAnswers_;
        if (wake)
            cv_.notify_all();
    }

    bool Flush(int timeoutMs)
    {
        std::unique_lock lock(mutex_);
        flushNow_ = true;
        cv_.notify_all();
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return queue_.empty() && attemptStartedMono_ == 0 && state_ != TStoreState::ssStarting;
        });
    }

    int Close(int timeoutMs)
    {
        bool finished = false;
        {
            std::unique_lock lock(mutex_);
            if (!thread_.joinable())
                return waitingAnswers_;
            closed_ = true;
            flushNow_ = true;
            cv_.notify_all();
            cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return queue_.empty(); });
            stop_ = true;
            owner_ = nullptr;
            cv_.notify_all();
            // A writer stuck in a call to a server that does not answer is left to finish on its own.
            finished = cv_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 100)),
                                    [&] { return finished_; });
            state_ = TStoreState::ssClosed;
        }
        if (finished)
            thread_.join();
        else
            thread_.detach();
        std::lock_guard lock(mutex_);
        return waitingAnswers_;
    }

    TStoreStatus Status() const
    {
        std::lock_guard lock(mutex_);
        TStoreStatus s;
        s.State = state_;
        s.Location = display_;
        s.Message = message_;
        s.MovedAside = movedAside_;
        s.WaitingAnswers = waitingAnswers_;
        s.WrittenAnswers = writtenAnswers_;
        return s;
    }

    QString Display() const { return display_; }

    //! Called on the owner's thread: a write that takes too long counts as a failure.
    void CheckStall()
    {
        std::unique_lock lock(mutex_);
        if (attemptStartedMono_ == 0 || stallReported_ || state_ == TStoreState::ssFailing)
            return;
        const qint64 seconds = (MonoMs() - attemptStartedMono_) / 1000;
        if (seconds * 1000 < options_.StallMs)
            return;
        stallReported_ = true;
        state_ = TStoreState::ssFailing;
        message_ = QStringLiteral("The session store %1 does not answer (%2 s). Answers are kept in memory "
                                  "(%3 waiting) and saved when it answers again.")
                       .arg(display_)
                       .arg(seconds)
                       .arg(waitingAnswers_);
        Notify(lock, message_, true);
    }

private:
    void Notify(std::unique_lock<std::mutex>&, const QString& message, bool failed)
    {
        QPointer<TSessionStore> owner = owner_;
        if (!owner)
            return;
        QMetaObject::invokeMethod(
            owner.data(),
            [owner, message, failed] {
                if (!owner)
                    return;
                if (!message.isEmpty())
                    emit failed ? owner->StoreFailed(message) : owner->StoreRecovered(message);
                emit owner->StatusChanged();
            },
            Qt::QueuedConnection);
    }

    void Run()
    {
        std::unique_ptr<TStoreConnection> conn;
        if (location_)
            conn = std::make_unique<TStoreConnection>(*location_);
        bool opened = false;
        bool stopAttempted = false;
        std::unique_lock lock(mutex_);
        for (bool first = true;; first = false) {
            if (!first) {
                const bool failing = state_ == TStoreState::ssFailing;
                if (failing) {
                    cv_.wait_for(lock, std::chrono::milliseconds(options_.RetryIntervalMs),
                                 [&] { return stop_; });
                } else {
                    cv_.wait(lock, [&] { return stop_ || flushNow_ || !queue_.empty(); });
                    // Gather for a moment, unless a backlog is waiting already.
                    if (!stop_ && !flushNow_ && queue_.size() < MaxBatch)
                        cv_.wait_for(lock, std::chrono::milliseconds(options_.FlushIntervalMs),
                                     [&] { return stop_ || flushNow_; });
                }
            }
            if (stop_ && (queue_.empty() || stopAttempted))
                break;
            stopAttempted = stop_;
            flushNow_ = false;
            std::vector<TRecord> batch(queue_.begin(), queue_.begin() + std::min(queue_.size(), MaxBatch));
            attemptStartedMono_ = MonoMs();
            lock.unlock();

            QString error;
            QString aside;
            bool ok = conn != nullptr;
            if (!conn)
                error = badLocation_;
            if (ok && !opened) {
                ok = opened = conn->Open();
                aside = conn->MovedAside();
                if (!aside.isEmpty())
                    ForgetWritten();
            }
            if (ok)
                ok = WriteBatch(*conn, batch);
            if (!ok && conn && opened && conn->LastErrorIsDamage()) {
                // Damaged while in use: set it aside and write everything known into a fresh file.
                ok = conn->ReplaceDamagedFile();
                aside = conn->MovedAside();
                ForgetWritten();
                if (ok)
                    ok = WriteBatch(*conn, batch);
            }
            if (!ok && conn) {
                error = conn->Error();
                conn->Close();
                opened = false;
            }

            lock.lock();
            attemptStartedMono_ = 0;
            const TStoreState before = state_;
            const bool wasFailing = before == TStoreState::ssFailing;
            if (!aside.isEmpty())
                movedAside_ = aside;
            if (ok) {
                int answers = 0;
                for (size_t i = 0; i < batch.size(); ++i) {
                    answers += std::holds_alternative<TAnswerRecord>(queue_.front());
                    queue_.pop_front();
                }
                waitingAnswers_ -= answers;
                writtenAnswers_ += answers;
                state_ = TStoreState::ssOk;
                stallReported_ = false;
                if (!aside.isEmpty()) {
                    message_ =
                        QStringLiteral("The session store %1 was damaged: it was renamed to %2 and a new "
                                       "one was started.")
                            .arg(display_, aside);
                    Notify(lock, message_, true);
                } else if (wasFailing) {
                    message_ = QStringLiteral("The session store %1 is back: waiting answers were saved.")
                                   .arg(display_);
                    Notify(lock, message_, false);
                } else if (before != state_ || answers > 0) {
                    Notify(lock, {}, false);
                }
            } else {
                state_ = TStoreState::ssFailing;
                const QString text =
                    QStringLiteral("Cannot save to the session store %1: %2. Answers are kept in "
                                   "memory (%3 waiting) and saved when the store is back.")
                        .arg(display_, error)
                        .arg(waitingAnswers_);
                message_ = text;
                if (!wasFailing) // one message per failure, not one per retry
                    Notify(lock, message_, true);
            }
            cv_.notify_all();
        }
        finished_ = true;
        cv_.notify_all();
        lock.unlock();
        conn.reset();
    }

    void ForgetWritten()
    {
        ids_.clear();
        resend_ = true;
    }

    bool WriteBatch(TStoreConnection& c, const std::vector<TRecord>& batch)
    {
        if (!c.Begin())
            return false;
        std::set<qint64> touched;
        auto fail = [&](QSqlQuery& q) {
            c.SetError(q.lastError());
            c.Rollback();
            return false;
        };
        QSqlQuery session(c.Db()), findId(c.Db()), question(c.Db()), answer(c.Db());
        session.prepare(QStringLiteral(
            "INSERT INTO sessions (uid, title, started_at, ended_at, key_labels, first_answer_only, expected)"
            " VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (uid) DO UPDATE SET title = excluded.title,"
            " ended_at = excluded.ended_at, key_labels = excluded.key_labels,"
            " first_answer_only = excluded.first_answer_only, expected = excluded.expected"));
        findId.prepare(QStringLiteral("SELECT id FROM sessions WHERE uid = ?"));
        question.prepare(
            QStringLiteral("INSERT INTO questions (session_id, number, opened_at, closed_at, correct_key) "
                           "VALUES (?, ?, ?, ?, ?)"
                           " ON CONFLICT (session_id, number) DO UPDATE SET opened_at = excluded.opened_at,"
                           " closed_at = excluded.closed_at, correct_key = excluded.correct_key"));
        answer.prepare(
            QStringLiteral("INSERT INTO answers (session_id, seq, question, keypad, key_code, received_at, "
                           "elapsed_ms, serial, late)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (session_id, seq) DO NOTHING"));

        std::map<QString, qint64> ids = ids_;
        auto writeSession = [&](const TSessionRecord& s) -> bool {
            session.addBindValue(s.Uid);
            session.addBindValue(s.Title);
            session.addBindValue(s.StartedMs);
            session.addBindValue(NullableMs(s.EndedMs));
            session.addBindValue(static_cast<int>(s.Options.KeyLabels));
            session.addBindValue(s.Options.FirstAnswerOnly ? 1 : 0);
            session.addBindValue(s.Expected);
            if (!session.exec())
                return fail(session);
            findId.addBindValue(s.Uid);
            if (!findId.exec() || !findId.next())
                return fail(findId);
            const qint64 id = findId.value(0).toLongLong();
            findId.finish();
            ids[s.Uid] = id;
            touched.insert(id);
            QSqlQuery q(c.Db());
            q.prepare(QStringLiteral("DELETE FROM roster WHERE session_id = ?"));
            q.addBindValue(id);
            if (!q.exec())
                return fail(q);
            q.prepare(QStringLiteral(
                "INSERT INTO roster (session_id, position, name, keypad, serial) VALUES (?, ?, ?, ?, ?)"));
            for (size_t i = 0; i < s.Roster.size(); ++i) {
                const TRosterEntry& e = s.Roster[i];
                q.addBindValue(id);
                q.addBindValue(static_cast<int>(i + 1));
                q.addBindValue(e.Name);
                q.addBindValue(e.Keypad ? QVariant(e.Keypad) : QVariant(QMetaType(QMetaType::Int)));
                q.addBindValue(NullableText(e.Serial));
                if (!q.exec())
                    return fail(q);
            }
            return true;
        };
        // The id of a session; a session never saved gets a bare header so that no answer is refused.
        auto idOf = [&](const QString& uid, qint64 startedMs, qint64& id) -> bool {
            if (auto it = ids.find(uid); it != ids.end()) {
                id = it->second;
                return true;
            }
            findId.addBindValue(uid);
            if (!findId.exec())
                return fail(findId);
            if (findId.next()) {
                id = findId.value(0).toLongLong();
                findId.finish();
                ids[uid] = id;
                return true;
            }
            findId.finish();
            TSessionRecord bare;
            bare.Uid = uid;
            bare.Title = TPollSession::DefaultTitle(QDateTime::fromMSecsSinceEpoch(startedMs));
            bare.StartedMs = startedMs;
            if (auto known = sessions_.find(uid); known != sessions_.end())
                bare = known->second;
            if (!writeSession(bare))
                return false;
            id = ids[uid];
            return true;
        };
        auto writeQuestion = [&](const TQuestionRecord& r) -> bool {
            qint64 id = 0;
            if (!idOf(r.Uid, r.OpenedMs, id))
                return false;
            question.addBindValue(id);
            question.addBindValue(r.Number);
            question.addBindValue(r.OpenedMs);
            question.addBindValue(NullableMs(r.ClosedMs));
            question.addBindValue(NullableKey(r.CorrectKey));
            if (!question.exec())
                return fail(question);
            touched.insert(id);
            return true;
        };

        if (resend_) {
            for (const auto& [uid, s] : sessions_) {
                if (!writeSession(s))
                    return false;
            }
            for (const auto& [key, q] : questions_) {
                if (!writeQuestion(q))
                    return false;
            }
        }
        for (const TRecord& record : batch) {
            if (const auto* s = std::get_if<TSessionRecord>(&record)) {
                if (!writeSession(*s))
                    return false;
            } else if (const auto* q = std::get_if<TQuestionRecord>(&record)) {
                if (!writeQuestion(*q))
                    return false;
            } else {
                const auto& r = std::get<TAnswerRecord>(record);
                const TPollAnswer& a = r.Answer;
                qint64 id = 0;
                if (!idOf(r.Uid, a.ReceivedMs, id))
                    return false;
                answer.addBindValue(id);
                answer.addBindValue(a.Seq);
                answer.addBindValue(a.Question);
                answer.addBindValue(a.Keypad);
                answer.addBindValue(QString(QChar(a.Key)));
                answer.addBindValue(a.ReceivedMs);
                answer.addBindValue(a.ElapsedMs);
                answer.addBindValue(NullableText(a.Serial));
                answer.addBindValue(a.Late ? 1 : 0);
                if (!answer.exec())
                    return fail(answer);
                touched.insert(id);
            }
        }
        QSqlQuery counts(c.Db());
        counts.prepare(QStringLiteral(
            "UPDATE sessions SET question_count = (SELECT COUNT(*) FROM questions WHERE session_id = ?),"
            " answer_count = (SELECT COUNT(*) FROM answers WHERE session_id = ?) WHERE id = ?"));
        for (qint64 id : touched) {
            counts.addBindValue(id);
            counts.addBindValue(id);
            counts.addBindValue(id);
            if (!counts.exec())
                return fail(counts);
        }
        if (!c.Commit()) {
            c.Rollback();
            return false;
        }
        // Committed: remember the headers, to write them again should the file have to be replaced.
        ids_ = std::move(ids);
        resend_ = false;
        for (const TRecord& record : batch) {
            if (const auto* s = std::get_if<TSessionRecord>(&record))
                sessions_[s->Uid] = *s;
            else if (const auto* q = std::get_if<TQuestionRecord>(&record))
                questions_[{q->Uid, q->Number}] = *q;
        }
        return true;
    }

    // Set at construction.
    const TStoreOptions options_;
    std::optional<TStoreLocation> location_;
    QString display_;
    QString badLocation_;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    // Guarded by mutex_:
    std::deque<TRecord> queue_;
    TSessionStore* owner_;
    bool closed_ = false, stop_ = false, flushNow_ = false, finished_ = false, stallReported_ = false;
    qint64 attemptStartedMono_ = 0;
    TStoreState state_ = TStoreState::ssStarting;
    QString message_, movedAside_;
    int waitingAnswers_ = 0;
    qint64 writtenAnswers_ = 0;

    // Writer thread only:
    std::map<QString, qint64> ids_;
    std::map<QString, TSessionRecord> sessions_;
    std::map<std::pair<QString, int>, TQuestionRecord> questions_;
    bool resend_ = false;
};

TSessionStore::TSessionStore(const QString& location, TStoreOptions options, QObject* parent)
    : QObject(parent), writer_(std::make_shared<TWriter>(location, options, this))
{
    writer_->Start(writer_);
    stallTimer_ = new QTimer(this);
    stallTimer_->setInterval(1000);
    connect(stallTimer_, &QTimer::timeout, this, &TSessionStore::CheckStall);
    stallTimer_->start();
}

TSessionStore::~TSessionStore()
{
    Close(2000);
}

void TSessionStore::SaveSession(const TPollSession& session)
{
    TSessionRecord r;
    r.Uid = session.Uid();
    r.Title = session.Title();
    r.Options = session.Options();
    r.StartedMs = session.StartedMs();
    r.EndedMs = session.EndedMs();
    r.Expected = session.ExpectedCount();
    r.Roster = session.Roster().Entries();
    writer_->Push(std::move(r), false);
}

void TSessionStore::SaveQuestion(const TPollSession& session, int number)
{
    const TPollQuestion* q = session.Question(number);
    if (q == nullptr)
        return;
    writer_->Push(TQuestionRecord{session.Uid(), q->Number, q->OpenedMs, q->ClosedMs, q->CorrectKey}, false);
}

void TSessionStore::SaveAnswer(const TPollSession& session, const TPollAnswer& answer)
{
    if (answer.Seq == 0)
        return;
    writer_->Push(TAnswerRecord{session.Uid(), answer}, true);
}

bool TSessionStore::Flush(int timeoutMs)
{
    return writer_->Flush(timeoutMs);
}

int TSessionStore::Close(int timeoutMs)
{
    stallTimer_->stop();
    return writer_->Close(timeoutMs);
}

TStoreStatus TSessionStore::Status() const
{
    return writer_->Status();
}

QString TSessionStore::Location() const
{
    return writer_->Display();
}

void TSessionStore::CheckStall()
{
    writer_->CheckStall();
}

} // namespace kivra
