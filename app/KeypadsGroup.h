#pragma once
// TKeypadsGroup: what the "Keypads" group box of the main window does. The grid shows all 250
// keypads with their last answer, coloured by state and by the defined group the user typed
// under "Keypads:"; the counter beside "All" counts the group members that answered; the
// information list collects keypad serial numbers or answer times. The main window derives from
// it: these are the window's fields and handlers, kept in a unit of their own.

#include "app/KeypadCells.h"

#include <QColor>
#include <QString>

#include <array>
#include <cstdint>
#include <string>

class QWidget;

namespace Ui {
class TfrmKivraUtil;
}

namespace kivra {

class TKivra;
class TfrmKeypadInfo;

class TKeypadsGroup {
public:
    // Per-keypad state, index 1..250 (0 unused).
    std::array<std::uint8_t, kGridKeypads + 1> KeypadStateArray{};
    std::array<char, kGridKeypads + 1> KeypadValueArray{};
    std::array<bool, kGridKeypads + 1> ActiveKeypadArray{};
    int ActiveKeypadCount = kGridKeypads;
    int RespondingCount = 0;
    int InfoRowCount = 0;
    bool GridChanged = false;

    void changeGrid(int KeypadID, char c);
    void btnClearClick();     // Clear Grid
    void btnAddKeypadClick(); // Set
    void rgrpKeypadAddClick();
    void cboKeypadsChange();
    void FillActiveKeypadArray();
    void rgrpOptionClick(); // Info Option change
    void btnKeyPadInfoClick();
    void btnClearInfoClick();

    // Handlers of the control's events.
    void KivraOCXKeypadDataReceived(int KeypadID, int Value);
    void KivraOCXSoftkeyDataReceived(int KeypadID, const std::string& KeyValue);
    void KivraOCXKeypadNotification(int KeypadID);
    void KivraOCXLowBatteryWarning(int KeypadID);
    void KivraOCXKeypadSerialNumber(int KeypadID, const std::string& SerialNum, const std::string& Version,
                                    int BatteryLevel, bool EndOfSerialNumbers);
    void KivraOCXKeypadTimestamp(int KeypadID, int QuestionNumber, int Timestamp, const std::string& Version,
                                 int BatteryLevel, bool EndOfTimestamps);

    //! The text of the counter beside "All".
    QString CounterText() const;

    TKeypadsGroup(const TKeypadsGroup&) = delete;
    TKeypadsGroup& operator=(const TKeypadsGroup&) = delete;

protected:
    TKeypadsGroup() = default;
    ~TKeypadsGroup() = default;

    //! Takes over the group box's controls of the window's form: the cell labels, every keypad
    //! a member of the defined group, the hints and the handlers of its buttons and choices.
    void SetUpKeypadsGroup(Ui::TfrmKivraUtil& form, TKivra& kivra, QWidget& window);
    //! The information window (not owned), or none.
    void SetKeypadInfoForm(TfrmKeypadInfo* form) { frmKeypadInfo_ = form; }
    //! The timer's part: a whole-grid repaint when an answer came since the last one.
    void RepaintGridIfChanged();
    //! Gives the control the defined group again (after a reconnect, which resets its keypad
    //! list), without touching the grid; nothing when "All" is chosen.
    void ResendKeypadGroup();
    //! Chooses an Info Option without running its change action.
    void SelectInfoOptionQuietly(int index);

private:
    void WriteCellText(int KeypadID);
    void SetCounter(const QString& text);
    QColor CellColor(int col, int row);

    Ui::TfrmKivraUtil* form_ = nullptr;
    TKivra* kivra_ = nullptr;
    QWidget* window_ = nullptr;
    TfrmKeypadInfo* frmKeypadInfo_ = nullptr;
    QColor CurrentCellColor_ = Qt::white;
};

} // namespace kivra
