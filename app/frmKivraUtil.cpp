#include "app/frmKivraUtil.h"

#include "app/Application.h"
#include "app/BlockingCall.h"
#include "app/LumALed.h"
#include "app/PortComboBox.h"
#include "app/RadioGroup.h"
#include "app/WindowSettings.h"
#include "app/frmAbout.h"
#include "app/frmCommands.h"
#include "app/frmDebug.h"
#include "app/frmPoll.h"
#include "serial/PortProbe.h"
#include "ui_frmKivraUtil.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeySequence>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>

#include <functional>

namespace kivra {

namespace {

// The control's byte strings shown one character per byte.
QString Text(const std::string& s)
{
    return BytesToQString(s);
}

} // namespace

TfrmKivraUtil::TfrmKivraUtil(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TfrmKivraUtil>())
{
    ui->setupUi(this);
    // A fixed dialog frame with only the close button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(730, 554);
    ConnectCall_ = new TBlockingCall(this);
    FormCreate();
}

TfrmKivraUtil::~TfrmKivraUtil()
{
    // The control's handlers use this window: the control goes first.
    if (tmrConnect_)
        tmrConnect_->stop();
    delete KivraOCX;
    KivraOCX = nullptr;
}

void TfrmKivraUtil::SetForms(TfrmKeypadInfo* keypadInfo, TfrmCommands* commands, TfrmAbout* about)
{
    SetKeypadInfoForm(keypadInfo);
    frmCommands_ = commands;
    frmAbout_ = about;
    if (frmCommands_)
        frmCommands_->OnApply = [this] { applyConfigChanges(); };
}

void TfrmKivraUtil::FormCreate()
{
    // Fonts: the window's everywhere, bold only for the group captions and the "All" / "Keypads:"
    // items.
    setFont(UtilityFont());
    for (QWidget* w : findChildren<QWidget*>())
        w->setFont(UtilityFont());
    ui->gboProduct->setFont(UtilityFont(true));
    ui->GroupBox1->setFont(UtilityFont(true));
    ui->rgrpOption->setFont(UtilityFont(true));
    for (QWidget* box : {static_cast<QWidget*>(ui->gboProduct), static_cast<QWidget*>(ui->GroupBox1)})
        for (QWidget* w : box->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
            if (w != ui->rgrpOption)
                w->setFont(UtilityFont());
    ui->rgrpOption->SetItemsBold(false);
    ui->rgrpKeypadAdd->SetItemsBold(true);

    // Logo and maker.
    ui->Image2->setPixmap(QPixmap(QStringLiteral(":/images/logo.svg")));
    ui->Image2->installEventFilter(this);
    ui->Image2->setToolTip(QStringLiteral("About Kivra\nCtrl+D: show or hide the debug output"));
    ui->Label5->setText(QString::fromLatin1(kMakerName));
    ui->Label5->setWordWrap(true);

    // LEDs.
    ui->ledConnect->SetLEDStyle(TLEDStyle::LEDHorizontal);
    ui->ledConnect->SetBlink(false);
    ui->ledConnect->SetFalseColor(clRed);
    ui->ledConnect->SetInterval(300);
    ui->ledPolling->SetLEDStyle(TLEDStyle::LEDHorizontal);
    ui->ledPolling->SetBlink(false);
    ui->ledPolling->SetTrueColor(clRed);
    ui->ledPolling->SetFalseColor(clLime);
    ui->ledPolling->SetInterval(300);
    ui->ledPolling->SetValue(true);

    // Start selections, made before the handlers are bound.
    ui->rgrpKeypadAdd->SetItemIndex(0);
    ui->rgrpOption->SetItemIndex(0);

    // The control, with its events bound.
    KivraOCX = new TKivra(this);
    KivraOCX->SetKivraModel(rstKivraModel::mAutoDetect);
    KivraOCX->SetDebugEventsEnabled(false);
    KivraOCX->SetOnDebug(std::bind_front(&TfrmKivraUtil::KivraOCXDebug, this));
    KivraOCX->SetErrorEventsEnabled(true);
    KivraOCX->SetOnError(std::bind_front(&TfrmKivraUtil::KivraOCXError, this));
    KivraOCX->SetOnKeypadDataReceived(std::bind_front(&TfrmKivraUtil::KivraOCXKeypadDataReceived, this));
    KivraOCX->SetOnKeypadNotification(std::bind_front(&TfrmKivraUtil::KivraOCXKeypadNotification, this));
    KivraOCX->SetOnLowBatteryWarning(std::bind_front(&TfrmKivraUtil::KivraOCXLowBatteryWarning, this));
    KivraOCX->SetOnSoftkeyDataReceived(std::bind_front(&TfrmKivraUtil::KivraOCXSoftkeyDataReceived, this));
    KivraOCX->SetOnKeypadTimestamp(std::bind_front(&TfrmKivraUtil::KivraOCXKeypadTimestamp, this));
    KivraOCX->SetOnKeypadSerialNumber(std::bind_front(&TfrmKivraUtil::KivraOCXKeypadSerialNumber, this));
    // Connect pauses keep the window painted.
    KivraOCX->SetPauseFunction([](int ms) { TBlockingCall::Pause(ms); });

    // The grid, the defined group and the information list.
    SetUpKeypadsGroup(*ui, *KivraOCX, *this);
    // The Info Option the user chooses is remembered.
    ui->rgrpOption->SetOnClick([this, handler = ui->rgrpOption->GetOnClick()] {
        InfoOption_ = ui->rgrpOption->ItemIndex();
        if (handler)
            handler();
    });

    // The offer to reconnect after a lost link, in the free space right of the Base box, below the
    // Poll window's entry.
    lblPortBack = new QLabel(this);
    lblPortBack->setGeometry(492, 35, 100, 28);
    lblPortBack->setWordWrap(true);
    lblPortBack->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    lblPortBack->hide();
    btnReconnect = new QPushButton(QStringLiteral("Reconnect"), this);
    btnReconnect->setGeometry(502, 65, 80, 25);
    btnReconnect->setToolTip(
        QStringLiteral("Connect again, polling as before; the grid and the information list stay.\n"
                       "\"Reconnect automatically\" is in the COM port list's context menu."));
    btnReconnect->hide();
    connect(btnReconnect, &QPushButton::clicked, this, [this] { Guarded([this] { btnReconnectClick(); }); });
    ui->lboComPort->OnPortsChanged = [this] { PortsChanged(); };

    // Channels 1-15, none chosen.
    for (int c = 1; c <= 15; ++c)
        ui->lboChannel->addItem(QString::number(c));
    ui->lboChannel->setCurrentIndex(-1);

    // Handlers of the window's controls.
    const auto clicked = [this](QAbstractButton* button, void (TfrmKivraUtil::*handler)()) {
        connect(button, &QAbstractButton::clicked, this,
                [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
    };
    clicked(ui->btnConnect, &TfrmKivraUtil::btnConnectClick);
    clicked(ui->btnPolling, &TfrmKivraUtil::btnPollingClick);
    clicked(ui->btnCndCommands, &TfrmKivraUtil::btnCndCommandsClick);

    // The Poll window's entry, in the free space beside the Base box.
    btnPoll_ = new QPushButton(QStringLiteral("Poll..."), this);
    btnPoll_->setObjectName(QStringLiteral("btnPoll"));
    btnPoll_->setFont(UtilityFont());
    btnPoll_->setGeometry(500, 8, 85, 25);
    btnPoll_->setToolTip(QStringLiteral("Ask the room a question: live chart, results kept, exports"));
    btnPoll_->setEnabled(false);
    clicked(btnPoll_, &TfrmKivraUtil::btnPollClick);
    connect(ui->lboChannel, &QComboBox::activated, this, [this] { Guarded([this] { lboChannelChange(); }); });
    ui->lboComPort->OnDropDown = [this] {
        ui->lboComPort->clear();
        LoadPorts();
    };
    auto* debugShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+D")), this);
    connect(debugShortcut, &QShortcut::activated, this,
            [this] { Guarded([this] { SetDebugOutput(!KivraOCX->GetDebugEventsEnabled()); }); });

    // The ports that exist; what was remembered from the last run.
    LoadPorts();
    const TWindowSettings remembered = LoadWindowSettings();
    if (remembered.Port != 0) {
        const int now = FindPortByKey(remembered.PortKey.toStdString(), remembered.Port);
        ui->lboComPort->ChoosePort(now != 0 ? now : remembered.Port);
    }
    {
        const QSignalBlocker quiet(ui->cboKeypads);
        ui->cboKeypads->setEditText(remembered.KeypadGroup);
    }
    InfoOption_ = InfoOptionOnConnect_ = remembered.InfoOption;
    ui->lboComPort->AutoReconnectAction()->setChecked(remembered.AutoReconnect);

    tmrConnect_ = new QTimer(this);
    tmrConnect_->setInterval(500);
    connect(tmrConnect_, &QTimer::timeout, this, [this] { Guarded([this] { tmrConnectTimer(); }); });
    tmrConnect_->start();
}

// --- Ports and connection ------------------------------------------------------------------

void TfrmKivraUtil::LoadPorts()
{
    ui->lboComPort->LoadPorts();
}

QString TfrmKivraUtil::PortHint() const
{
    return ui->lboComPort->PortHint();
}

bool TfrmKivraUtil::Connecting() const
{
    return ConnectCall_->Running();
}

void TfrmKivraUtil::btnConnectClick()
{
    // Connect or Disconnect by hand ends the wait for a lost device.
    Lost_.reset();
    HideReconnectOffer();
    if (!KivraOCX->GetConnected())
        ConnectAction();
    else
        DisconnectAction();
}

void TfrmKivraUtil::ConnectAction()
{
    // The port chosen in the list.
    KivraOCX->SetSerialPort(ui->lboComPort->ChosenPort());

    // Connect, which takes a few seconds: busy cursor, progress text, no other input.
    {
        ui->btnConnect->setText(QStringLiteral("Connecting..."));
        ui->btnConnect->repaint();
        struct CaptionBack {
            QPushButton* button;
            ~CaptionBack() { button->setText(QStringLiteral("Connect")); }
        } captionBack{ui->btnConnect};
        ConnectCall_->Run([this] { KivraOCX->Connect(); });
    }

    // Only the newer base generation (and only while it is still there).
    if (KivraOCX->GetKivraModel() == rstKivraModel::mKivraSol && KivraOCX->GetConnected()) {
        ShowsConnected_ = true; // a link lost from here on is shown as such
        KivraOCX->CollectKeypadSerialNumbers();
        SetKeypadControlsEnabled(true);
        const int channel = KivraOCX->GetBaseChannel();
        ui->lboChannel->setCurrentIndex(channel >= 1 && channel <= 15 ? channel - 1 : -1);
        ui->lblBaseSerialNumber->setText(Text(KivraOCX->GetBaseSerialNumber()));
        const std::string version = KivraOCX->GetBaseVersion();
        const std::size_t colon = version.find(':');
        if (colon == std::string::npos) {
            ui->lblProduct->setText(QString());
            ui->lblVersion->setText(Text(version.size() > 1 ? version.substr(1) : std::string()));
        } else {
            ui->lblProduct->setText(Text(version.substr(0, colon)));
            ui->lblVersion->setText(
                Text(colon + 2 <= version.size() ? version.substr(colon + 2) : std::string()));
        }
        ui->btnConnect->setText(QStringLiteral("Disconnect"));
        ui->ledConnect->SetValue(true);
        // Time stamps again when they were chosen last (in the last run, or before a glitch).
        if (InfoOptionOnConnect_ == 1) {
            SelectInfoOptionQuietly(1);
            KivraOCX->BeginQuestion(0);
        }
        InfoOptionOnConnect_ = 0;
    } else if (KivraOCX->GetConnected()) {
        ShowMessage(QStringLiteral("This utility supports Kivra Sol Base Model only."));
        KivraOCX->Disconnect(false);
        KivraOCX->SetKivraModel(rstKivraModel::mAutoDetect);
    }
}

void TfrmKivraUtil::DisconnectAction()
{
    if (KivraOCX->GetPolling()) {
        ShowPolling(false);
        KivraOCX->StopPolling();
    }
    // Back to serial numbers while the base is still there; the grid and the information list
    // keep what was collected.
    if (ui->rgrpOption->ItemIndex() != 0) {
        SelectInfoOptionQuietly(0);
        KivraOCX->CollectKeypadSerialNumbers();
    }
    KivraOCX->Disconnect(false);
    ShowDisconnected();
}

void TfrmKivraUtil::ShowDisconnected()
{
    ShowsConnected_ = false;
    ShowPolling(false);
    SelectInfoOptionQuietly(0);
    if (!KivraOCX->GetConnected())
        KivraOCX->SetKivraModel(rstKivraModel::mAutoDetect);
    ui->btnConnect->setText(QStringLiteral("Connect"));
    ui->ledConnect->SetValue(false);
    SetKeypadControlsEnabled(false);
    // The device may have gone or come back (a USB adapter): probe again, keeping the choice.
    const QString port = ui->lboComPort->currentText();
    ui->lboComPort->clear();
    LoadPorts();
    if (const int again = ui->lboComPort->findText(port); again >= 0)
        ui->lboComPort->setCurrentIndex(again);
    ui->lboComPort->setEnabled(!KivraOCX->GetConnected());
}

void TfrmKivraUtil::LinkLost(const QString& text)
{
    // What to wait for and what to restore, noted before the Disconnected state resets it.
    Lost_.emplace(KivraOCX->GetSerialPort(), ui->ledPolling->Blinking(), ui->rgrpOption->ItemIndex());
    // The window tells the truth before the message box waits for the user.
    ShowDisconnected();
    ShowMessage(text);
}

void TfrmKivraUtil::SetKeypadControlsEnabled(bool enabled)
{
    ui->rgrpOption->setEnabled(enabled);
    ui->btnKeyPadInfo->setEnabled(enabled);
    ui->btnCndCommands->setEnabled(enabled);
    ui->btnClearInfo->setEnabled(enabled);
    ui->btnPolling->setEnabled(enabled);
    ui->cboKeypads->setEnabled(enabled);
    ui->rgrpKeypadAdd->setEnabled(enabled);
    ui->lboChannel->setEnabled(enabled);
    btnPoll_->setEnabled(enabled);
}

bool TfrmKivraUtil::ReconnectOffered() const
{
    return !btnReconnect->isHidden(); // also while the window is minimised
}

void TfrmKivraUtil::HideReconnectOffer()
{
    lblPortBack->hide();
    btnReconnect->hide();
}

void TfrmKivraUtil::PortsChanged()
{
    if (!Lost_ || KivraOCX->GetConnected() || Connecting())
        return;
    const TLostLink::TChange change = Lost_->Update();
    if (change == TLostLink::TChange::Gone)
        HideReconnectOffer();
    if (change != TLostLink::TChange::Back)
        return;
    const int back = Lost_->Back();
    ui->lboComPort->ChoosePort(back);
    lblPortBack->setText(QStringLiteral("The base's port is back: COM%1").arg(back));
    lblPortBack->show();
    btnReconnect->show();
    if (ui->lboComPort->AutoReconnectAction()->isChecked())
        QTimer::singleShot(0, this, [this] { Guarded([this] { ReconnectAutomatically(); }); });
}

void TfrmKivraUtil::ReconnectAutomatically()
{
    if (!ReconnectOffered() || !ui->lboComPort->AutoReconnectAction()->isChecked())
        return;
    // Not under a message box the user has yet to answer: once it is closed.
    if (QApplication::activeModalWidget() != nullptr || Connecting()) {
        QTimer::singleShot(500, this, [this] { Guarded([this] { ReconnectAutomatically(); }); });
        return;
    }
    btnReconnectClick();
}

void TfrmKivraUtil::btnReconnectClick()
{
    if (!Lost_ || Lost_->Back() == 0 || KivraOCX->GetConnected() || Connecting())
        return;
    const TLostLink lost = *Lost_;
    Lost_.reset(); // one attempt: a failure is told and leaves the user with Connect
    HideReconnectOffer();
    ui->lboComPort->ChoosePort(lost.Back());
    InfoOptionOnConnect_ = lost.InfoOption();
    ConnectAction();
    if (!ShowsConnected_)
        return;
    ResendKeypadGroup();
    if (lost.Polling()) {
        ShowPolling(true);
        KivraOCX->StartPolling();
    }
}

void TfrmKivraUtil::btnPollingClick()
{
    const bool start = !KivraOCX->GetPolling();
    ShowPolling(start);
    if (start)
        KivraOCX->StartPolling();
    else
        KivraOCX->StopPolling();
}

void TfrmKivraUtil::btnPollClick()
{
    if (!frmPoll_)
        frmPoll_ = std::make_unique<TfrmPoll>(
            *KivraOCX, [this] { return ActiveKeypadCount; },
            [this] {
                if (!KivraOCX->GetPolling())
                    btnPollingClick();
            });
    frmPoll_->show();
    frmPoll_->raise();
    frmPoll_->activateWindow();
}

void TfrmKivraUtil::ShowPolling(bool polling)
{
    // The LED stays lit: solid red, or silver and lime in turn while polling.
    ui->btnPolling->setText(polling ? QStringLiteral("Stop Polling") : QStringLiteral("Start Polling"));
    ui->ledPolling->SetTrueColor(polling ? clSilver : clRed);
    ui->ledPolling->SetBlink(polling);
}

void TfrmKivraUtil::lboChannelChange()
{
    if (KivraOCX->GetConnected()) {
        KivraOCX->SetBaseChannel(ui->lboChannel->currentIndex() + 1);
        btnClearClick();
    } else {
        ui->lboChannel->setCurrentIndex(-1);
        ShowMessage(QStringLiteral(" Base is not connected. "));
    }
}

void TfrmKivraUtil::tmrConnectTimer()
{
    RepaintGridIfChanged();
    ui->lboComPort->setEnabled(!KivraOCX->GetConnected());
}

void TfrmKivraUtil::KivraOCXError(int /*ErrorCode*/, const std::string& Error)
{
    QString text = Text(Error);
    if (Connecting() && KivraOCX->GetLastFailure() == TKivraFailure::PortNotOpened) {
        // Name the way out when the port was refused for lack of permission.
        const TPortProbe port = ProbePort(KivraOCX->GetSerialPort());
        const std::string advice = PermissionAdvice(
            port.AccessRefused ? port
                               : ClassifyPortError(port.Number, port.Device, KivraOCX->GetLastSystemError()));
        if (!advice.empty())
            text += QStringLiteral("\n\n") + QString::fromLocal8Bit(advice.c_str());
    }
    // A link reported lost (by a failed read or write, or by the silence watchdog) leaves the
    // control disconnected: the window follows, keeping what it collected.
    if (KivraOCX->GetLinkLost() && ShowsConnected_ && !Connecting() && !KivraOCX->GetConnected()) {
        LinkLost(text);
        return;
    }
    ShowMessage(text);
}

void TfrmKivraUtil::KivraOCXDebug(const std::string& Data)
{
    if (frmDebug_)
        frmDebug_->AppendLine(FormatDebugLine(Data));
}

void TfrmKivraUtil::SetDebugOutput(bool on)
{
    if (on) {
        if (!frmDebug_)
            frmDebug_ = std::make_unique<TfrmDebug>();
        frmDebug_->show();
        frmDebug_->raise();
    }
    KivraOCX->SetDebugEventsEnabled(on);
}

void TfrmKivraUtil::closeEvent(QCloseEvent* event)
{
    if (Connecting()) {
        event->ignore();
        return;
    }
    if (!Closed_) {
        Closed_ = true;
        Guarded([this] { FormClose(); });
    }
    event->accept();
    if (OnFormClosed)
        OnFormClosed();
}

bool TfrmKivraUtil::RestorePosition()
{
    const std::optional<QPoint> at = LoadWindowSettings().Position;
    if (!at || QGuiApplication::screenAt(*at + QPoint(20, 20)) == nullptr)
        return false;
    move(*at);
    return true;
}

void TfrmKivraUtil::SaveSettings()
{
    TWindowSettings s;
    s.Port = ui->lboComPort->currentText().toInt();
    s.PortKey = QString::fromLocal8Bit(PortIdentityKey(s.Port).c_str());
    s.KeypadGroup = ui->cboKeypads->currentText();
    s.InfoOption = InfoOption_;
    s.Position = pos();
    s.AutoReconnect = ui->lboComPort->AutoReconnectAction()->isChecked();
    SaveWindowSettings(s);
}

void TfrmKivraUtil::FormClose()
{
    tmrConnect_->stop();
    SaveSettings();
    if (KivraOCX->GetPolling())
        KivraOCX->StopPolling();
    if (KivraOCX->GetConnected())
        KivraOCX->Disconnect(false);
}

void TfrmKivraUtil::Image2Click()
{
    if (frmAbout_)
        frmAbout_->exec();
}

bool TfrmKivraUtil::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->Image2 && event->type() == QEvent::MouseButtonRelease) {
        Guarded([this] { Image2Click(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// --- Keypad configuration ----------------------------------------------------------------------

void TfrmKivraUtil::btnCndCommandsClick()
{
    if (!KivraOCX->GetConnected()) {
        ShowMessage(QStringLiteral("Base is not connected."));
        return;
    }
    if (!frmCommands_)
        return;
    InitializeSettingsForm();
    if (frmCommands_->exec() != QDialog::Rejected)
        applyConfigChanges();
}

void TfrmKivraUtil::InitializeSettingsForm()
{
    TKeypadConfiguration c;
    c.Settings = ReadKeypadSettings(*KivraOCX);
    for (int d = 0; d <= 9; ++d)
        c.KeyLocked[static_cast<std::size_t>(d)] = KivraOCX->IsKeyLocked(std::to_string(d));
    frmCommands_->SetConfiguration(c);
}

void TfrmKivraUtil::applyConfigChanges()
{
    // Each write sends the complete settings; then each changed key applies the locks once.
    const TKeypadConfiguration c = frmCommands_->Configuration();
    WriteKeypadSettings(*KivraOCX, c.Settings, c.Written());
    for (int d = 0; d <= 9; ++d)
        if (!c.KeyLocked[static_cast<std::size_t>(d)] && KivraOCX->IsKeyLocked(std::to_string(d)))
            KivraOCX->UnlockKey(std::to_string(d));
    for (int d = 0; d <= 9; ++d)
        if (c.KeyLocked[static_cast<std::size_t>(d)] && !KivraOCX->IsKeyLocked(std::to_string(d)))
            KivraOCX->LockKey(std::to_string(d));
}

} // namespace kivra
