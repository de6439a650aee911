#pragma once
// TfrmKivraUtil: the utility's main window. It owns the one TKivra control, lists the COM ports,
// connects to a base, shows its identity, starts and stops polling, changes the channel, and
// shows all 250 keypads in a grid coloured by their last answer and the defined group.

#include "app/KeypadCells.h"
#include "control/Kivra.h"

#include <QColor>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <string>

class QLabel;
class QTimer;

namespace Ui {
class TfrmKivraUtil;
}

namespace kivra {

class TfrmKeypadInfo;
class TfrmCommands;
class TfrmAbout;
class TfrmDebug;

class TfrmKivraUtil : public QWidget {
public:
    explicit TfrmKivraUtil(QWidget* parent = nullptr);
    ~TfrmKivraUtil() override;

    //! The other windows of the program, created after this one (not owned).
    void SetForms(TfrmKeypadInfo* keypadInfo, TfrmCommands* commands, TfrmAbout* about);
    //! Runs after the window closed (FormClose done): the program ends there.
    std::function<void()> OnFormClosed;

    TKivra* KivraOCX = nullptr; // owned (QObject child)

    // Per-keypad state, index 1..250 (0 unused).
    std::array<std::uint8_t, kGridKeypads + 1> KeypadStateArray{};
    std::array<char, kGridKeypads + 1> KeypadValueArray{};
    std::array<bool, kGridKeypads + 1> ActiveKeypadArray{};
    int ActiveKeypadCount = kGridKeypads;
    int RespondingCount = 0;
    int InfoRowCount = 0;
    bool GridChanged = false;

    // Actions and handlers.
    void LoadPorts();
    void btnConnectClick();
    void btnPollingClick();
    void lboChannelChange();
    void tmrConnectTimer();
    void Image2Click();
    void changeGrid(int KeypadID, char c);
    void btnClearClick();     // Clear Grid
    void btnAddKeypadClick(); // Set
    void rgrpKeypadAddClick();
    void cboKeypadsChange();
    void FillActiveKeypadArray();
    void rgrpOptionClick(); // Info Option change
    void btnKeyPadInfoClick();
    void btnClearInfoClick();
    void btnCndCommandsClick();
    void InitializeSettingsForm();
    void applyConfigChanges();
    //! Debug output on or off: the debug window is created before debug events are enabled.
    void SetDebugOutput(bool on);
    TfrmDebug* DebugForm() const { return frmDebug_.get(); }

    // Handlers of the control's events.
    void KivraOCXKeypadDataReceived(int KeypadID, int Value);
    void KivraOCXSoftkeyDataReceived(int KeypadID, const std::string& KeyValue);
    void KivraOCXKeypadNotification(int KeypadID);
    void KivraOCXLowBatteryWarning(int KeypadID);
    void KivraOCXKeypadSerialNumber(int KeypadID, const std::string& SerialNum, const std::string& Version,
                                    int BatteryLevel, bool EndOfSerialNumbers);
    void KivraOCXKeypadTimestamp(int KeypadID, int QuestionNumber, int Timestamp, const std::string& Version,
                                 int BatteryLevel, bool EndOfTimestamps);
    void KivraOCXError(int ErrorCode, const std::string& Error);
    void KivraOCXDebug(const std::string& Data);

    //! True while Connect runs: user input is dropped and a progress text shows.
    bool Connecting() const { return Connecting_; }
    //! True while the window shows a connected base (between Connect and Disconnect or a lost link).
    bool ShowsConnected() const { return ShowsConnected_; }
    //! The text of the counter beside "All".
    QString CounterText() const;
    //! Device path behind each listed port number (the hint of the port list).
    QString PortHint() const;

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
    //! Chooses an Info Option without running its change action.
    void SelectInfoOptionQuietly(int index);
    //! Lets input that came in while Connect ran reach the event filter, which drops it.
    void DropInputOfConnect();
    void SetKeypadControlsEnabled(bool enabled);
    void WriteCellText(int KeypadID);
    void SetCounter(const QString& text);
    QColor CellColor(int col, int row);
    void PauseWhileConnecting(int ms);
    //! Runs a user action: whatever escapes it goes to the central handler.
    void Guarded(const std::function<void()>& action);

    TfrmKeypadInfo* frmKeypadInfo_ = nullptr;
    TfrmCommands* frmCommands_ = nullptr;
    TfrmAbout* frmAbout_ = nullptr;
    std::unique_ptr<TfrmDebug> frmDebug_;
    QTimer* tmrConnect_ = nullptr;
    QColor CurrentCellColor_ = Qt::white;
    bool Connecting_ = false;
    bool ShowsConnected_ = false;
    bool Closed_ = false;
};

} // namespace kivra
