#include "app/BlockingCall.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QThread>
#include <QWidget>

#include <algorithm>

namespace kivra {

bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Close:
        return true;
    default:
        return false;
    }
}

TBlockingCall::TBlockingCall(QObject* parent) : QObject(parent)
{
}

void TBlockingCall::Run(const std::function<void()>& call)
{
    Running_ = true;
    qApp->installEventFilter(this);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    struct Restore {
        TBlockingCall* b;
        ~Restore()
        {
            b->DropPendingInput();
            QApplication::restoreOverrideCursor();
            qApp->removeEventFilter(b);
            b->Running_ = false;
        }
    } restore{this};
    call();
}

void TBlockingCall::Pause(int ms)
{
    // Input is delivered too, to the event filter: input held back here would be replayed once
    // the call is over.
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(
            static_cast<unsigned long>(std::min<qint64>(10, std::max<qint64>(0, deadline.remainingTime()))));
    }
}

void TBlockingCall::DropPendingInput()
{
    try {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    } catch (...) {
        // Runs while an error of the call may be unwinding: nothing may escape here.
    }
}

bool TBlockingCall::eventFilter(QObject* watched, QEvent* event)
{
    if (Running_ && IsUserInput(event->type())) {
        // Nothing else while the call runs, except in a message box it opened.
        const auto* w = qobject_cast<QWidget*>(watched);
        const QWidget* modal = QApplication::activeModalWidget();
        if (!(w && modal && w->window() == modal))
            return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace kivra
