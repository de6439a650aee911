#pragma once
// TfrmAbout: product name, title, version, maker and a web link that opens the system's browser.

#include <QDialog>

#include <memory>

class QAction;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace Ui {
class TfrmAbout;
}

namespace kivra {

//! The maker shown under the main window's logo and in the About window (fictional).
inline constexpr const char* kMakerName = "Larkmoor Response Devices";
inline constexpr const char* kMakerUrl = "https://www.example.com/";

class TfrmAbout : public QDialog {
public:
    explicit TfrmAbout(QWidget* parent = nullptr);
    ~TfrmAbout() override;

    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr; //!< maker's name
    QLabel* Label2 = nullptr; //!< web address; click opens it
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr; //!< notice of rights
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr; //!< registered-trademark sign
    QLabel* Label9 = nullptr;
    QLabel* lblBuild = nullptr; //!< version and commit built from, under the notice of rights
    QFrame* Shape1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* Button1 = nullptr; //!< "OK"
    QAction* BrowseURL1 = nullptr;

    //! Modal; opens at the designed screen position every time.
    int exec() override;

    //! Opens the text of Label2 in the system's web browser; silent when none can be opened.
    void Label2Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::unique_ptr<Ui::TfrmAbout> ui;
};

} // namespace kivra
