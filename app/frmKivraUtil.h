#pragma once
// TfrmKivraUtil: the utility's main window. It owns the one TKivra control, lists the COM ports,
// connects to a base, shows its identity, starts and stops polling, changes the channel and opens
// the other windows. The "Keypads" group box (grid, defined group, information list) is its base
// TKeypadsGroup.

#include "app/KeypadsGroup.h"
#include "app/LostLink.h"
#include "control/Kivra.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QLabel;
class QPushButton;
class QTimer;

namespace Ui {
class TfrmKivraUtil;
}

namespace kivra {

class TfrmKeypadInfo;
class TfrmCommands;
class TfrmAbout;
class TfrmDebug;
class TBlockingCall;
class TfrmPoll;

class TfrmKivraUtil : public QWidget, public TKeypadsGroup {
public:
    explicit TfrmKivraUtil(QWidget* parent = nullptr);
    ~TfrmKivraUtil() override;

    //! The other windows of the program, created after this one (not owned).
    void SetForms(TfrmKeypadInfo* keypadInfo, TfrmCommands* commands, TfrmAbout* about);
    //! Runs after the window closed (FormClose done): the program ends there.
    std::function<void()> OnFormClosed;

    TKivra* KivraOCX = nullptr; // owned (QObject child)

    // Actions and handlers.
    void LoadPorts();
    void btnConnectClick();
    void btnPollingClick();
    void lboChannelChange();
    void tmrConnectTimer();
    void Image2Click();
    void btnCndCommandsClick();
    void InitializeSettingsForm();
    void applyConfigChanges();
    //! Debug output on or off: the debug window is created before debug events are enabled.
    void SetDebugOutput(bool on);
    TfrmDebug* DebugForm() const { return frmDebug_.get(); }
    //! Opens the Poll window (made on first use; it stays bound to the control).
    void btnPollClick();
    TfrmPoll* PollForm() const { return frmPoll_.get(); }
    QPushButton* PollButton() const { return btnPoll_; }

    // Handlers of the control's events.
    void KivraOCXError(int ErrorCode, const std::string& Error);
    void KivraOCXDebug(const std::string& Data);

    //! True while Connect runs: user input is dropped and a progress text shows.
    bool Connecting() const;
    //! True while the window shows a connected base (between Connect and Disconnect or a lost link).
    bool ShowsConnected() const { return ShowsConnected_; }
    //! Device path behind each listed port number (the hint of the port list).
    QString PortHint() const;

    //! After a lost link, when the same device came back: says so beside the Base box and offers
    //! Reconnect (or reconnects on its own with "Reconnect automatically" ticked in the port
    //! list's context menu).
    QLabel* lblPortBack = nullptr;       // owned (child)
    QPushButton* btnReconnect = nullptr; // owned (child)
    bool ReconnectOffered() const;
    //! Reconnects to the device that came back on its port; polling is restored when it was on,
    //! and the grid, the information list and the keypad group are kept.
    void btnReconnectClick();
    //! Moves the window where it was when it last closed, when that is on a screen; false
    //! when there is no such place.
    bool RestorePosition();
    //! Writes what the window remembers between runs (also done when it closes).
    void SaveSettings();

    std::unique_ptr<Ui::TfrmKivraUtil> ui;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void FormClose();
    void ConnectAction();
    void DisconnectAction();
    //! The Disconnected state: LEDs red, captions back, keypad controls off, the port list enabled
    //! and probed again. The grid and the information list stay.
    void ShowDisconnected();
    //! A lost link reported by the control: the Disconnected state, then the message.
    void LinkLost(const QString& text);
    void SetKeypadControlsEnabled(bool enabled);
    //! The polling button's caption and LED: solid red, or blinking silver and lime.
    void ShowPolling(bool polling);
    //! Devices came or went: a lost device that is back is offered for reconnection.
    void PortsChanged();
    void HideReconnectOffer();
    void ReconnectAutomatically();

    std::optional<TLostLink> Lost_; // the port of a lost link, waited for to come back
    int InfoOption_ = 0;            // the Info Option the user chose last
    int InfoOptionOnConnect_ = 0;   // chosen again once connected (remembered, or kept over a glitch)

    TfrmCommands* frmCommands_ = nullptr;
    TfrmAbout* frmAbout_ = nullptr;
    std::unique_ptr<TfrmDebug> frmDebug_;
    std::unique_ptr<TfrmPoll> frmPoll_;
    QPushButton* btnPoll_ = nullptr; // owned (child)
    QTimer* tmrConnect_ = nullptr;
    TBlockingCall* ConnectCall_ = nullptr; // owned (QObject child)
    bool ShowsConnected_ = false;
    bool Closed_ = false;
};

} // namespace kivra
