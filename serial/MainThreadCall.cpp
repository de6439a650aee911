#include "serial/MainThreadCall.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <exception>

namespace kivra {

// The state of one handed-over call. Lock order: TMainThreadCall::m_ before TCall::m.
struct TMainThreadCall::TCall {
    std::mutex m;
    std::condition_variable cv;
    bool started = false;     // GUARDED_BY(m); set by the main thread
    bool done = false;        // GUARDED_BY(m); set by the main thread
    bool cancelled = false;   // GUARDED_BY(m); set by Cancel
    std::exception_ptr error; // written by the main thread before done, read by the worker after
    std::function<void()> fn;
};

bool IsMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

bool TMainThreadCall::Run(std::function<void()> fn)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || IsMainThread()) {
        fn();
        return true;
    }
    auto call = std::make_shared<TCall>();
    call->fn = std::move(fn);
    {
        std::lock_guard lock(m_);
        if (cancelled_)
            return false;
        current_ = call;
    }
    QMetaObject::invokeMethod(
        app,
        [call] {
            {
                std::lock_guard lock(call->m);
                if (call->cancelled)
                    return;
                call->started = true;
            }
            try {
                call->fn();
            } catch (...) {
                call->error = std::current_exception();
            }
            std::lock_guard lock(call->m);
            call->done = true;
            call->cv.notify_all();
        },
        Qt::QueuedConnection);
    bool done = false;
    {
        std::unique_lock lock(call->m);
        call->cv.wait(lock, [&] { return call->done || (call->cancelled && !call->started); });
        done = call->done;
    }
    {
        std::lock_guard lock(m_);
        current_.reset();
    }
    if (done && call->error)
        std::rethrow_exception(call->error);
    return done;
}

void TMainThreadCall::Cancel()
{
    std::lock_guard lock(m_);
    cancelled_ = true;
    if (current_) {
        std::lock_guard callLock(current_->m);
        current_->cancelled = true;
        current_->cv.notify_all();
    }
}

bool TMainThreadCall::Running() const
{
    std::lock_guard lock(m_);
    if (!current_)
        return false;
    std::lock_guard callLock(current_->m);
    return current_->started && !current_->done;
}

} // namespace kivra
