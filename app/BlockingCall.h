#pragma once
// TBlockingCall: runs a call that holds the user-interface thread for seconds (Connect) while
// the windows keep painting. A wait cursor shows and user input is dropped, including input that
// arrives meanwhile and would otherwise be replayed afterwards; a message box the call opens
// still takes its input.

#include <QEvent>
#include <QObject>

#include <functional>

namespace kivra {

//! Mouse, key, shortcut and close events: what a user does to a window.
bool IsUserInput(QEvent::Type type);

class TBlockingCall : public QObject {
public:
    explicit TBlockingCall(QObject* parent = nullptr);

    //! True while Run runs.
    bool Running() const { return Running_; }
    //! Runs call; what it throws passes on once the cursor and input are back to normal.
    void Run(const std::function<void()>& call);
    //! Waits ms while the windows keep painting: the control's pauses. Input during a Run goes to
    //! the filter, which drops it.
    static void Pause(int ms);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    //! Still running: lets waiting input reach the filter, which drops it.
    void DropPendingInput();

    bool Running_ = false;
};

} // namespace kivra
