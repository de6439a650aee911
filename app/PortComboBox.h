#pragma once
// TPortComboBox: the main window's COM port list. It lists the ports COM1-COM16 that have a
// device behind them, probed without opening it, each with its device as the item's hint, and
// runs OnDropDown just before its list opens.

#include <QComboBox>
#include <QString>

#include <array>
#include <functional>

namespace kivra {

class TPortComboBox : public QComboBox {
public:
    explicit TPortComboBox(QWidget* parent = nullptr);

    std::function<void()> OnDropDown;
    void showPopup() override;

    //! Appends the numbers of the ports with a device (free, busy or refused alike: the connect
    //! attempt tells why one cannot be used) and selects the first entry.
    void LoadPorts();
    //! The number of the chosen port; an EConvertError that says why when there is none.
    int ChosenPort() const;
    //! One line "n = device (kind)" per port found by the last LoadPorts.
    QString PortHint() const;

private:
    std::array<QString, 17> PortDevices_{};
};

} // namespace kivra
