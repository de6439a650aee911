#pragma once
// A synchronous call from a worker thread onto the main thread (the thread of the
// QCoreApplication) that the main thread can cancel without waiting for the worker.
//
// Contract:
// - Run(fn) from a worker queues fn to the main thread's event loop and blocks until fn has run
//   there; it returns true, and an exception of fn is raised again in the worker.
// - Run(fn) on the main thread, or without a QCoreApplication, runs fn at once and returns true:
//   nothing is queued, so the main thread never waits for itself.
// - Cancel(), from any thread, is final. A Run waiting for the main thread returns false at once
//   and its fn never runs, not even later from the event loop; later Runs from a worker return
//   false without queuing anything. A fn that already started is waited for: it may itself be
//   what cancels (a handler closing its port), and its worker may not go on before it returned.
// - One worker at a time calls Run on an object. Destroy it only while no Run is waiting.

#include <functional>
#include <memory>
#include <mutex>

namespace kivra {

//! True on the thread of the QCoreApplication, and everywhere when there is none.
bool IsMainThread();

class TMainThreadCall {
public:
    TMainThreadCall() = default;
    TMainThreadCall(const TMainThreadCall&) = delete;
    TMainThreadCall& operator=(const TMainThreadCall&) = delete;

    //! True when fn ran, false when the call was cancelled and fn did not run.
    bool Run(std::function<void()> fn);
    void Cancel();
    //! True while the main thread runs a fn handed over by Run.
    bool Running() const;

private:
    struct TCall; // shared with the queued event, which may outlive this object

    mutable std::mutex m_;
    bool cancelled_ = false;         // GUARDED_BY(m_)
    std::shared_ptr<TCall> current_; // GUARDED_BY(m_); the call a worker waits for, if any
};

} // namespace kivra
