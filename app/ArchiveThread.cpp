#include "app/ArchiveThread.h"

#include "session/SessionArchive.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <atomic>
#include <exception>

namespace kivra {

TArchiveThread::TArchiveThread(const QString& location)
    : Thread_(std::make_unique<QThread>()), Archive_(std::make_unique<TSessionArchive>(location))
{
    Thread_->setObjectName(QStringLiteral("kivra-archive"));
    Context_ = new QObject;
    Context_->moveToThread(Thread_.get());
    QObject::connect(Thread_.get(), &QThread::finished, Context_, &QObject::deleteLater);
    Thread_->start();
}

TArchiveThread::~TArchiveThread()
{
    // The connection was made on the archive's thread and is closed there.
    QMetaObject::invokeMethod(
        Context_, [this] { Archive_.reset(); }, Qt::BlockingQueuedConnection);
    Thread_->quit();
    Thread_->wait();
}

void TArchiveThread::Run(const std::function<void(TSessionArchive&)>& call)
{
    std::atomic<bool> done{false};
    std::exception_ptr failure;
    QObject* waker = QCoreApplication::instance();
    QMetaObject::invokeMethod(
        Context_,
        [this, &call, &done, &failure, waker] {
            try {
                call(*Archive_);
            } catch (...) {
                failure = std::current_exception();
            }
            done = true;
            // Wakes the waiting event loop below.
            QMetaObject::invokeMethod(
                waker, [] {}, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace kivra
