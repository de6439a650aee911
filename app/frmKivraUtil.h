#pragma once
// TfrmKivraUtil: the utility's main window. It owns the one TKivra control, lists the COM ports,
// connects to a base, shows its identity, starts and stops polling, changes the channel, and
// shows all 250 keypads in a grid coloured by their last answer and the defined group.

#include "control/Kivra.h"

#include <QColor>
#include <QComboBox>
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

inline constexpr int kGridKeypads = 250;
inline constexpr int kGridColumns = 10;
inline constexpr int kGridRows = 25;

//! Decimal text of n with blanks in front until it is at least width characters long.
std::string PadIntToStr(int n, int width);

//! Cell colours of the grid.
inline constexpr QRgb kCellInactive = 0xFFFFFFFF;   // white
inline constexpr QRgb kCellActive = 0xFF00FF00;     // lime
inline constexpr QRgb kCellLowBattery = 0xFFFFFF00; // yellow
inline constexpr QRgb kCellUnset = 0xFFCECECE;      // grey: not in the defined group
inline constexpr QRgb kCellOutside = 0xFFFF4A4A;    // light red: answered outside the group

//! Colour of a keypad's cell from its state (0 inactive, 1 active, 2 low battery) and membership.
QRgb KeypadCellColor(std::uint8_t state, bool member);

//! The defined group of a keypad range text ("1, 3, 5-10"): members[k] for keypads 1..250, and their
//! number (each keypad once, however often it is listed; a reversed range and numbers outside
//! 1..250 mark nothing). Empty items mark nothing.
struct TDefinedGroup {
    std::array<bool, kGridKeypads + 1> Members{};
    int Count = 0;
};
TDefinedGroup ParseDefinedGroup(const std::string& text);

//! The owner-drawn 10 x 25 keypad grid: cells 70 x 14, each filled with its colour, a white
//! one-pixel outline and its text wrapped word by word.
class TKeypadGrid : public QWidget {
public:
    explicit TKeypadGrid(QWidget* parent = nullptr);

    static constexpr int kColWidth = 70;
    static constexpr int kRowHeight = 14;
    static constexpr int kBorder = 2; // sunken frame

    QString Cell(int col, int row) const;
    //! Writes a cell; the cell is repainted at the next paint.
    void SetCell(int col, int row, const QString& text);
    //! Cell rectangle in widget coordinates (right and bottom exclusive as in QRect::adjusted).
    QRect CellRect(int col, int row) const;
    //! Colour of a cell, asked while painting.
    std::function<QColor(int col, int row)> CellColor;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::array<std::array<QString, kGridRows>, kGridColumns> Cells_;
};

//! A drop-down list that runs OnDropDown just before its list opens.
class TPortComboBox : public QComboBox {
public:
    explicit TPortComboBox(QWidget* parent = nullptr);
    std::function<void()> OnDropDown;
    void showPopup() override;
};

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
    void UpdateRespondingCount();
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
    std::array<QString, 17> PortDevices_{};
};

} // namespace kivra
