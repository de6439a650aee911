#pragma once
// TArchiveThread: a session archive on a thread of its own, so that a slow or unreachable
// database server never holds the windows. Run waits for one call while the event loop goes on
// (the control keeps polling, windows keep painting); the calls run one at a time, in order, and
// all on that thread, which owns the archive's database connection.
//
//     TArchiveThread archive(location);
//     std::vector<TSessionSummary> list;
//     archive.Run([&](TSessionArchive& a) { if (a.IsOpen() || a.Open()) list = a.ListSessions(); });

#include <QString>

#include <functional>
#include <memory>

class QThread;
class QObject;

namespace kivra {

class TSessionArchive;

class TArchiveThread {
public:
    explicit TArchiveThread(const QString& location);
    //! Waits for the call that runs, if any, and closes the archive on its thread.
    ~TArchiveThread();
    TArchiveThread(const TArchiveThread&) = delete;
    TArchiveThread& operator=(const TArchiveThread&) = delete;

    //! Runs call on the archive's thread and returns when it has returned, running the event loop
    //! meanwhile. What call throws is rethrown here.
    void Run(const std::function<void(TSessionArchive&)>& call);

private:
    std::unique_ptr<QThread> Thread_;
    QObject* Context_ = nullptr; // lives on Thread_
    std::unique_ptr<TSessionArchive> Archive_;
};

} // namespace kivra
