#pragma once
// TSessionStore: writes poll sessions to a store (SQLite file or PostgreSQL server) without
// ever holding up the caller.
//
// The Save* calls only queue a copy and return (a few microseconds, any thread). A writer
// thread with its own connection writes what is queued at least every FlushIntervalMs, in one
// transaction, so a killed program loses at most the last fraction of a second. Writes are
// idempotent (sessions by uid, questions by number, answers by sequence number), so a batch
// retried after a lost acknowledgement is never doubled.
//
// When the store fails (read-only file, disk full, locked, damaged file, server gone or not
// answering) nothing is dropped: the queue waits in memory, StoreFailed(message) is emitted once
// with the path or server and the reason, the writer retries every RetryIntervalMs, and when a
// batch goes through StoreRecovered(message) follows. A damaged SQLite file is renamed aside
// (named in the message) and a fresh one takes the answers. Status() can be read at any time.
//
// Typical use (window or kivra-diag; see TSessionRecorder, which makes these calls):
//
//     TSessionStore store(settings.value("store").toString());   // "" = default SQLite file
//     connect(&store, &TSessionStore::StoreFailed, this, &Window::ShowStoreProblem);
//     store.SaveSession(session);              // at start, on title change and at the end
//     store.SaveQuestion(session, 1);          // when opened, closed or its correct key set
//     store.SaveAnswer(session, session.LastAnswer());
//     ...
//     store.Flush(2000);                       // at the end of a session: wait for the disk
//     if (store.Status().WaitingAnswers) ...   // warn before quitting: they would be lost
//
// The signals are delivered through the event loop of the thread that created the store.

#include "session/PollSession.h"
#include "session/StoreDatabase.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class QTimer;

namespace kivra {

enum class TStoreState : std::uint8_t {
    ssStarting, //!< the writer has not reached the store yet
    ssOk,       //!< the last write went through
    ssFailing,  //!< writes fail or hang; data waits in memory and is retried
    ssClosed,   //!< Close() ran
};

struct TStoreStatus {
    TStoreState State = TStoreState::ssStarting;
    QString Location;          //!< path or server (no password)
    QString Message;           //!< the current problem, or the last recovery; empty when all is well
    QString MovedAside;        //!< where a damaged file went, when one was found
    int WaitingAnswers = 0;    //!< queued, not yet written
    qint64 WrittenAnswers = 0; //!< written by this store object
};

struct TStoreOptions {
    int FlushIntervalMs = 250;  //!< longest time an answer waits before it is written
    int RetryIntervalMs = 1000; //!< pause between attempts while the store fails
    int StallMs = 5000;         //!< a write taking longer than this is reported as a failure
};

class TSessionStore : public QObject {
    Q_OBJECT
public:
    //! Starts the writer for a location (see TStoreLocation). Never blocks: a bad location
    //! or an unreachable store shows as ssFailing with a message.
    explicit TSessionStore(const QString& location = {}, TStoreOptions options = {},
                           QObject* parent = nullptr);
    //! Close(2000).
    ~TSessionStore() override;

    //! The session's header: title, options, start and end, expected count and roster.
    void SaveSession(const TPollSession& session);
    //! One question: opening and closing times, correct key.
    void SaveQuestion(const TPollSession& session, int number);
    void SaveAnswer(const TPollSession& session, const TPollAnswer& answer);

    //! Asks for an immediate write and waits up to timeoutMs; true when nothing is waiting.
    bool Flush(int timeoutMs);
    //! Writes what it can within timeoutMs and stops the writer. Returns the number of answers
    //! that could not be written (lost unless the caller keeps them). Later Save* calls are ignored.
    int Close(int timeoutMs);

    TStoreStatus Status() const;
    QString Location() const;

signals:
    void StoreFailed(const QString& message);
    void StoreRecovered(const QString& message);
    //! Any change of Status(): state, counts, message.
    void StatusChanged();

private:
    class TWriter;
    void CheckStall();

    std::shared_ptr<TWriter> writer_;
    QTimer* stallTimer_ = nullptr;
};

} // namespace kivra
