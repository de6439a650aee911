#pragma once
// The event thread of a serial port. It waits for line events on the device and delivers them to
// its port, by default on the main thread through a cancellable hand-over (MainThreadCall.h).
// Modem-line changes do not wake a poll: for devices that count them, a second thread, the modem
// watcher, waits for them in the driver and wakes the event thread.
//
// Ownership: the port creates, prepares and starts the thread on the main thread and normally
// destroys it there (which joins it). A thread stopped from its own delivery cannot be joined by
// itself; ReleaseSelf then makes it delete itself when it leaves.

#include "serial/ComLineIo.h"
#include "serial/ComPort.h"
#include "serial/ComPortPosix.h"
#include "serial/MainThreadCall.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace kivra {

class TComThread {
public:
    //! inputSize is the input buffer size the 80%-full event is measured against.
    TComThread(TCustomComPort* port, int fd, std::shared_ptr<TComLineIo> io, int inputSize);
    //! Terminates, stops the watcher and joins.
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    //! Sets up the wait on the device; the line counters read now are the baseline for events.
    TPosixError Prepare();
    //! False when no thread could be created.
    bool Start(TThreadPriority priority);
    //! Takes effect at once, also before the thread has started running.
    void SetPriority(TThreadPriority p);
    //! Sets the terminate flag, cancels a hand-over waiting for the main thread and wakes the wait.
    void Terminate();
    //! Wakes the wait so that the thread reads the port's event mask again (a new modem-line
    //! handler needs the modem watcher, which the thread starts between two waits).
    void Wake() { wait_.Wake(); }
    bool IsCurrent() const;
    //! Ends the modem watcher; it holds the device while it waits, so this runs before the device
    //! is released.
    void StopWatcher();
    bool Finished() const { return finished_; }
    //! The thread deletes itself when it leaves; false when it already left (destroy it instead).
    bool ReleaseSelf();
    //! True while the main thread runs a call handed over by this thread.
    bool HandOverRunning() const { return handOver_.Running(); }
    //! Runs fn on the main thread and waits for it (TMainThreadCall::Run).
    bool CallOnMain(std::function<void()> fn) { return handOver_.Run(std::move(fn)); }

private:
    void Execute();
    std::uint32_t CounterBits();
    void StartWatcher();
    void ApplyPriority();

    // Set by the constructor, read-only afterwards.
    TCustomComPort* const port_;
    const int fd_;
    const std::shared_ptr<TComLineIo> io_;
    const int inputSize_;

    // Started by Start on the main thread; afterwards only joined by the destructor or detached
    // under exitMutex_.
    std::thread thread_;
    TDeviceWait wait_;         // prepared before the thread runs; Wake from any thread
    TMainThreadCall handOver_; // thread-safe
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false}; // set by the event thread as it leaves

    std::mutex priorityMutex_;
    int tid_ = 0;                                          // GUARDED_BY(priorityMutex_)
    TThreadPriority priority_ = TThreadPriority::tpNormal; // GUARDED_BY(priorityMutex_)

    std::mutex exitMutex_;
    bool selfOwned_ = false; // GUARDED_BY(exitMutex_)

    std::mutex watcherMutex_;
    std::thread watcher_; // GUARDED_BY(watcherMutex_)
    std::atomic<bool> watcherStop_{false};
    std::atomic<bool> watcherDone_{false}; // set by the watcher as it leaves

    // Baseline taken by Prepare before the thread runs; owned by the event thread afterwards.
    TComCounters counters_;
    bool countersSupported_ = false;
};

} // namespace kivra
