#pragma once
// TPortComboBox: the main window's COM port list. It lists the ports COM1-COM16 that have a
// device behind them, probed without opening it, each with its device and identity (stable path,
// USB adapter, pin) as the item's hint, and runs OnDropDown just before its list opens. Once a
// second it checks cheaply whether devices came or went and then lists them again, keeping the
// choice. Its context menu pins the chosen device to a COM number, removes a pin, and holds the
// window's "Reconnect automatically" choice.

#include <QComboBox>
#include <QString>

#include <array>
#include <functional>
#include <string>

class QAction;
class QTimer;

namespace kivra {

class TPortComboBox : public QComboBox {
public:
    explicit TPortComboBox(QWidget* parent = nullptr);

    std::function<void()> OnDropDown;
    void showPopup() override;

    //! Appends the numbers of the ports with a device (free, busy or refused alike: the connect
    //! attempt tells why one cannot be used) and selects the first entry.
    void LoadPorts();
    //! Lists the ports again, keeping the chosen number when it is still listed.
    void ReloadPorts();
    //! The number of the chosen port; an EConvertError that says why when there is none.
    int ChosenPort() const;
    //! Chooses port n when it is listed; false otherwise.
    bool ChoosePort(int n);
    //! One line "n = device (kind)" per port found by the last LoadPorts, with the identity of the
    //! device and its pin on the lines below; first why pins are ignored, when they are.
    QString PortHint() const;

    //! Runs after the list was loaded again because devices came or went (not on a drop-down).
    std::function<void()> OnPortsChanged;
    //! Checks for devices that came or went and lists them again when some did (the timer's work,
    //! callable directly). True when the list was loaded again.
    bool CheckPorts();

    //! Pins COM number to device (its stable path when it has one), or unpins it when device is
    //! empty; lists the ports again. "" on success, else why it failed.
    QString AssignPort(int number, const std::string& device);

    //! The checkable "Reconnect automatically" of the context menu (owned by the list).
    QAction* AutoReconnectAction() const { return AutoReconnect_; }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void AssignDialog();

    std::array<QString, 17> PortDevices_{};
    std::string Signature_;
    QString PinProblem_;
    QTimer* Watch_ = nullptr;
    QAction* AutoReconnect_ = nullptr;
};

//! The identity of the device behind COMn, by which it is recognised on whatever number: its
//! stable path when it has one, else "COMn" (a pseudo-terminal or a fixed port is known by its
//! number). "" when the number means nothing here.
std::string PortIdentityKey(int n);

//! The COM number (1-16) whose device has the identity key, preferring the number given; 0 when
//! no present device has it.
int FindPortByKey(const std::string& key, int preferred);

} // namespace kivra
