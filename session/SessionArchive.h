#pragma once
// TSessionArchive: reads stored sessions back (history, reopening, exports, kivra-diag sessions)
// and deletes them. Synchronous, on the calling thread, with a connection of its own; a window
// that must never wait on a slow server runs these calls in a worker (e.g. QtConcurrent) and
// opens the archive there.
//
//     TSessionArchive archive(location);                  // same location text as TSessionStore
//     if (!archive.Open()) show(archive.Error());
//     for (const TSessionSummary& s : archive.ListSessions()) ...   // newest first
//     std::optional<TPollSession> s = archive.LoadSession(id);      // read-only, with results
//     archive.DeleteSession(id);

#include "session/PollSession.h"
#include "session/StoreDatabase.h"

#include <memory>
#include <optional>
#include <vector>

namespace kivra {

struct TSessionSummary {
    qint64 Id = 0;
    QString Uid, Title;
    qint64 StartedMs = 0, EndedMs = 0; //!< EndedMs 0: not ended (still running, or the program stopped)
    int Questions = 0;
    qint64 Answers = 0;
    TSessionOptions Options;
};

class TSessionArchive {
public:
    explicit TSessionArchive(const QString& location = {});
    ~TSessionArchive();

    //! Connects (and migrates an older schema). False with Error() on failure.
    bool Open();
    bool IsOpen() const;
    QString Error() const { return error_; }
    QString Location() const { return display_; }
    //! Where a damaged SQLite file was moved by Open, or empty.
    QString MovedAside() const;

    //! All sessions, newest first.
    std::vector<TSessionSummary> ListSessions();
    //! One session with its questions, answers and roster, read-only; empty if unknown or on error.
    std::optional<TPollSession> LoadSession(qint64 id);
    //! Ids of all sessions, oldest first (for a full export).
    std::vector<qint64> SessionIds();
    //! Deletes a session and everything in it; false when it does not exist or on error.
    bool DeleteSession(qint64 id);

private:
    std::optional<TStoreLocation> location_;
    QString display_;
    QString error_;
    std::unique_ptr<TStoreConnection> conn_;
};

} // namespace kivra
