#include "app/frmKivraUtil.h"

#include "app/Application.h"
#include "app/KeypadGrid.h"
#include "app/LumALed.h"
#include "app/PortComboBox.h"
#include "app/RadioGroup.h"
#include "app/frmAbout.h"
#include "app/frmCommands.h"
#include "app/frmDebug.h"
#include "app/frmKeypadInfo.h"
#include "core/Exception.h"
#include "serial/PortProbe.h"
#include "ui_frmKivraUtil.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QKeySequence>
#include <QLineEdit>
#include <QPixmap>
#include <QShortcut>
#include <QThread>
#include <QTimer>

namespace kivra {

// --- The main window -----------------------------------------------------------------------

namespace {

// The cell texts of the grid's font, the control's byte strings shown one character per byte.
QString Text(const std::string& s)
{
    return BytesToQString(s);
}

const char* const kKeypadsHint =
    "Accepts a string of the following format: \"1, 3, 5-10, 20-30, 32\".  Keypad numbers separated\n\r"
    " by commas are treated as individual keypads while keypads separated by a dash\n\r"
    " are interpreted as an inclusive range.";

const char* const kGridHint = "White  - Inactive\r\n"
                              "Green  - Active\r\n"
                              "Grey   - Unset\r\n"
                              "Red    - Active outside of defined group\r\n"
                              "Yellow - Low battery";

// Tool tips treat "\n\r" and "\r\n" alike once carriage returns are dropped.
QString ToolTip(const char* stored)
{
    return QString::fromLatin1(stored).remove(QLatin1Char('\r'));
}

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

} // namespace

TfrmKivraUtil::TfrmKivraUtil(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TfrmKivraUtil>())
{
    ui->setupUi(this);
    // A fixed dialog frame with only the close button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(730, 554);
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
    frmKeypadInfo_ = keypadInfo;
    frmCommands_ = commands;
    frmAbout_ = about;
    if (frmCommands_)
        frmCommands_->OnApply = [this] { applyConfigChanges(); };
}

void TfrmKivraUtil::Guarded(const std::function<void()>& action)
{
    try {
        action();
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        HandleException(e);
    }
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

    // Counter beside "All": read-only, borderless, window-face colour.
    ui->edtKeypadCount->setAutoFillBackground(false);
    QPalette counterPalette = ui->edtKeypadCount->palette();
    counterPalette.setColor(QPalette::Base, Qt::transparent);
    ui->edtKeypadCount->setPalette(counterPalette);

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

    // 1-5: the control.
    KivraOCX = new TKivra(this);
    KivraOCX->SetKivraModel(rstKivraModel::mAutoDetect);
    KivraOCX->SetDebugEventsEnabled(false);
    KivraOCX->SetOnDebug([this](std::string Data) { KivraOCXDebug(Data); });
    KivraOCX->SetErrorEventsEnabled(true);
    KivraOCX->SetOnError([this](int ErrorCode, std::string Error) { KivraOCXError(ErrorCode, Error); });
    KivraOCX->SetOnKeypadDataReceived(
        [this](int KeypadID, int Value) { KivraOCXKeypadDataReceived(KeypadID, Value); });
    KivraOCX->SetOnKeypadNotification([this](int KeypadID) { KivraOCXKeypadNotification(KeypadID); });
    KivraOCX->SetOnLowBatteryWarning([this](int KeypadID) { KivraOCXLowBatteryWarning(KeypadID); });
    KivraOCX->SetOnSoftkeyDataReceived(
        [this](int KeypadID, std::string KeyValue) { KivraOCXSoftkeyDataReceived(KeypadID, KeyValue); });
    KivraOCX->SetOnKeypadTimestamp([this](int KeypadID, int QuestionNumber, int Timestamp,
                                          std::string Version, int BatteryLevel, bool EndOfTimestamps) {
        KivraOCXKeypadTimestamp(KeypadID, QuestionNumber, Timestamp, Version, BatteryLevel, EndOfTimestamps);
    });
    KivraOCX->SetOnKeypadSerialNumber([this](int KeypadID, std::string SerialNum, std::string Version,
                                             int BatteryLevel, bool EndOfSerialNumbers) {
        KivraOCXKeypadSerialNumber(KeypadID, SerialNum, Version, BatteryLevel, EndOfSerialNumbers);
    });
    // Connect pauses keep the window painted.
    KivraOCX->SetPauseFunction([this](int ms) { PauseWhileConnecting(ms); });

    // 6-7: counters and cell labels.
    CurrentCellColor_ = Qt::white;
    ActiveKeypadCount = kGridKeypads;
    InfoRowCount = 0;
    GridChanged = false;
    KeypadValueArray.fill('\0');
    for (int n = 1; n <= kGridKeypads; ++n)
        WriteCellText(n);
    ui->StringGrid1->CellColor = [this](int col, int row) { return CellColor(col, row); };

    // 8: channels.
    for (int c = 1; c <= 15; ++c)
        ui->lboChannel->addItem(QString::number(c));
    ui->lboChannel->setCurrentIndex(-1);

    // 9: every keypad a member of the defined group.
    ActiveKeypadArray.fill(true);
    ActiveKeypadArray[0] = false;

    // 10: hints.
    ui->cboKeypads->setToolTip(ToolTip(kKeypadsHint));
    ui->StringGrid1->setToolTip(ToolTip(kGridHint));

    // Handlers of the window's controls.
    connect(ui->btnConnect, &QPushButton::clicked, this, [this] { Guarded([this] { btnConnectClick(); }); });
    connect(ui->btnPolling, &QPushButton::clicked, this, [this] { Guarded([this] { btnPollingClick(); }); });
    connect(ui->lboChannel, &QComboBox::activated, this, [this] { Guarded([this] { lboChannelChange(); }); });
    connect(ui->btnClear, &QPushButton::clicked, this, [this] { Guarded([this] { btnClearClick(); }); });
    connect(ui->btnAddKeypad, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnAddKeypadClick(); }); });
    connect(ui->cboKeypads->lineEdit(), &QLineEdit::textEdited, this, [this] { cboKeypadsChange(); });
    connect(ui->cboKeypads, &QComboBox::activated, this, [this] { cboKeypadsChange(); });
    connect(ui->btnKeyPadInfo, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnKeyPadInfoClick(); }); });
    connect(ui->btnClearInfo, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnClearInfoClick(); }); });
    connect(ui->btnCndCommands, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnCndCommandsClick(); }); });
    ui->rgrpKeypadAdd->SetOnClick([this] { rgrpKeypadAddClick(); });
    ui->rgrpOption->SetOnClick([this] { rgrpOptionClick(); });
    ui->lboComPort->OnDropDown = [this] {
        ui->lboComPort->clear();
        LoadPorts();
    };
    auto* debugShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+D")), this);
    connect(debugShortcut, &QShortcut::activated, this,
            [this] { Guarded([this] { SetDebugOutput(!KivraOCX->GetDebugEventsEnabled()); }); });

    // 11: ports.
    LoadPorts();

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

void TfrmKivraUtil::btnConnectClick()
{
    if (!KivraOCX->GetConnected())
        ConnectAction();
    else
        DisconnectAction();
}

void TfrmKivraUtil::PauseWhileConnecting(int ms)
{
    // Keep painting while the control waits. User input is delivered too, to the event filter,
    // which drops it: input held back here would be replayed once Connect is over.
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(
            static_cast<unsigned long>(std::min<qint64>(10, std::max<qint64>(0, deadline.remainingTime()))));
    }
}

void TfrmKivraUtil::ConnectAction()
{
    // 1. The port number from the list.
    const QString portText = ui->lboComPort->currentText();
    bool ok = false;
    const int port = portText.toInt(&ok);
    if (!ok) {
        if (portText.isEmpty())
            throw EConvertError("No COM port to connect to: no serial device was found.");
        throw EConvertError("'" + portText.toStdString() + "' is not a valid COM port number.");
    }
    KivraOCX->SetSerialPort(port);

    // 2. Connect, which takes a few seconds: busy cursor, progress text, no other input.
    {
        Connecting_ = true;
        qApp->installEventFilter(this);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ui->btnConnect->setText(QStringLiteral("Connecting..."));
        ui->btnConnect->repaint();
        struct Restore {
            TfrmKivraUtil* w;
            ~Restore()
            {
                w->DropInputOfConnect();
                w->ui->btnConnect->setText(QStringLiteral("Connect"));
                QApplication::restoreOverrideCursor();
                qApp->removeEventFilter(w);
                w->Connecting_ = false;
            }
        } restore{this};
        KivraOCX->Connect();
    }

    // 3. Only the newer base generation (and only while it is still there).
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
    } else if (KivraOCX->GetConnected()) {
        ShowMessage(QStringLiteral("This utility supports Kivra Sol Base Model only."));
        KivraOCX->Disconnect(false);
        KivraOCX->SetKivraModel(rstKivraModel::mAutoDetect);
    }
}

void TfrmKivraUtil::DisconnectAction()
{
    if (KivraOCX->GetPolling()) {
        ui->btnPolling->setText(QStringLiteral("Start Polling"));
        ui->ledPolling->SetTrueColor(clRed);
        ui->ledPolling->SetBlink(false);
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
    ui->btnPolling->setText(QStringLiteral("Start Polling"));
    ui->ledPolling->SetTrueColor(clRed);
    ui->ledPolling->SetBlink(false);
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
    // The window tells the truth before the message box waits for the user.
    ShowDisconnected();
    ShowMessage(text);
}

void TfrmKivraUtil::SelectInfoOptionQuietly(int index)
{
    const std::function<void()> handler = ui->rgrpOption->GetOnClick();
    ui->rgrpOption->SetOnClick({});
    ui->rgrpOption->SetItemIndex(index);
    ui->rgrpOption->SetOnClick(handler);
}

void TfrmKivraUtil::DropInputOfConnect()
{
    // Still connecting: the event filter drops whatever user input is waiting.
    try {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    } catch (...) {
        // Runs while an error of Connect may be unwinding: nothing may escape here.
    }
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
}

void TfrmKivraUtil::btnPollingClick()
{
    if (KivraOCX->GetPolling()) {
        ui->btnPolling->setText(QStringLiteral("Start Polling"));
        ui->ledPolling->SetTrueColor(clRed);
        ui->ledPolling->SetBlink(false);
        KivraOCX->StopPolling();
    } else {
        ui->btnPolling->setText(QStringLiteral("Stop Polling"));
        ui->ledPolling->SetTrueColor(clSilver);
        ui->ledPolling->SetBlink(true);
        KivraOCX->StartPolling();
    }
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
    if (GridChanged) {
        ui->StringGrid1->update();
        GridChanged = false;
    }
    ui->lboComPort->setEnabled(!KivraOCX->GetConnected());
}

void TfrmKivraUtil::KivraOCXError(int ErrorCode, const std::string& Error)
{
    QString text = Text(Error);
    if (Connecting_) {
        // Name the way out when the port was refused for lack of permission.
        const std::string advice = PermissionAdvice(ProbePort(KivraOCX->GetSerialPort()));
        if (!advice.empty())
            text += QStringLiteral("\n\n") + QString::fromLocal8Bit(advice.c_str());
    }
    // A link reported lost (by a failed read or write, or by the silence watchdog, whatever the
    // wording) leaves the control disconnected: the window follows, keeping what it collected.
    if (ErrorCode == kErrConnection && ShowsConnected_ && !Connecting_ && !KivraOCX->GetConnected()) {
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
    if (Connecting_) {
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

void TfrmKivraUtil::FormClose()
{
    tmrConnect_->stop();
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
    if (Connecting_ && IsUserInput(event->type())) {
        // Nothing else while Connect runs, except in a message box it opened.
        const auto* w = qobject_cast<QWidget*>(watched);
        const QWidget* modal = QApplication::activeModalWidget();
        if (!(w && modal && w->window() == modal))
            return true;
    }
    if (watched == ui->Image2 && event->type() == QEvent::MouseButtonRelease) {
        Guarded([this] { Image2Click(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// --- The grid and the defined group -----------------------------------------------------------

void TfrmKivraUtil::WriteCellText(int KeypadID)
{
    ui->StringGrid1->SetCell(
        KeypadColumn(KeypadID), KeypadRow(KeypadID),
        Text(KeypadCellText(KeypadID, KeypadValueArray[static_cast<std::size_t>(KeypadID)])));
}

QColor TfrmKivraUtil::CellColor(int col, int row)
{
    const auto n = static_cast<std::size_t>(CellKeypad(col, row));
    CurrentCellColor_ = QColor::fromRgb(KeypadCellColor(KeypadStateArray[n], ActiveKeypadArray[n]));
    return CurrentCellColor_;
}

void TfrmKivraUtil::SetCounter(const QString& text)
{
    ui->edtKeypadCount->setText(text);
}

QString TfrmKivraUtil::CounterText() const
{
    return ui->edtKeypadCount->text();
}

void TfrmKivraUtil::changeGrid(int KeypadID, char c)
{
    if (KeypadID < 1 || KeypadID > kGridKeypads)
        return;
    GridChanged = true;
    KeypadStateArray[static_cast<std::size_t>(KeypadID)] = kKeypadActive;
    KeypadValueArray[static_cast<std::size_t>(KeypadID)] = c;
    WriteCellText(KeypadID);
    RespondingCount = CountResponding(KeypadStateArray, ActiveKeypadArray);
    SetCounter(Text(kivra::CounterText(RespondingCount, ActiveKeypadCount)));
}

void TfrmKivraUtil::KivraOCXKeypadDataReceived(int KeypadID, int Value)
{
    changeGrid(KeypadID, static_cast<char>('0' + Value));
}

void TfrmKivraUtil::KivraOCXSoftkeyDataReceived(int KeypadID, const std::string& KeyValue)
{
    changeGrid(KeypadID, KeyValue.empty() ? ' ' : KeyValue[0]);
}

void TfrmKivraUtil::KivraOCXKeypadNotification(int KeypadID)
{
    changeGrid(KeypadID, 'A');
}

void TfrmKivraUtil::KivraOCXLowBatteryWarning(int KeypadID)
{
    if (KeypadID >= 1 && KeypadID <= kGridKeypads)
        KeypadStateArray[static_cast<std::size_t>(KeypadID)] = kKeypadLowBattery;
}

void TfrmKivraUtil::btnClearClick()
{
    for (std::size_t k = 1; k <= kGridKeypads; ++k) {
        KeypadStateArray[k] = kKeypadInactive;
        KeypadValueArray[k] = ' ';
    }
    for (int k = 1; k <= kGridKeypads; ++k)
        WriteCellText(k);
    if (frmKeypadInfo_)
        frmKeypadInfo_->ClearRows();
    InfoRowCount = 0;
    RespondingCount = 0;
    SetCounter(Text(kivra::CounterText(0, KivraOCX->GetKeypadListCount())));
    CurrentCellColor_ = Qt::white;
    ui->StringGrid1->repaint();
    if (ui->rgrpOption->ItemIndex() == 1)
        KivraOCX->BeginQuestion(0);
}

void TfrmKivraUtil::rgrpKeypadAddClick()
{
    if (ui->rgrpKeypadAdd->ItemIndex() == 0)
        btnAddKeypadClick();
}

void TfrmKivraUtil::cboKeypadsChange()
{
    ui->rgrpKeypadAdd->SetItemIndex(1);
    ui->btnAddKeypad->setEnabled(true);
}

void TfrmKivraUtil::btnAddKeypadClick()
{
    if (!KivraOCX->GetConnected()) {
        ShowMessage(QStringLiteral("Base is not connected!"));
        return;
    }
    ui->btnAddKeypad->setEnabled(false);
    // The text is checked before anything changes: a refused one keeps the grid, the group and
    // the control's keypad list as they were.
    const QString text = ui->cboKeypads->currentText();
    if (ui->rgrpKeypadAdd->ItemIndex() == 1)
        ParseKeypadRangeText(text.toLatin1().toStdString(), KivraOCX->GetMaxKeypads());
    btnClearClick();
    KivraOCX->ClearKeypadList();
    if (ui->rgrpKeypadAdd->ItemIndex() == 0) {
        KivraOCX->AddKeypad(1, kGridKeypads);
    } else if (ui->rgrpKeypadAdd->ItemIndex() == 1) {
        KivraOCX->AddKeypad(text.toLatin1().toStdString());
        KivraOCX->AddKeypad(1, kGridKeypads);
        ui->cboKeypads->addItem(text);
        ui->cboKeypads->setEditText(text);
        FillActiveKeypadArray();
    }
    SetCounter(Text(kivra::CounterText(0, ActiveKeypadCount)));
    ui->StringGrid1->repaint();
}

void TfrmKivraUtil::FillActiveKeypadArray()
{
    const TDefinedGroup group = ParseDefinedGroup(ui->cboKeypads->currentText().toLatin1().toStdString());
    ActiveKeypadArray = group.Members;
    ActiveKeypadCount = group.Count;
}

// --- Keypad information ----------------------------------------------------------------------

void TfrmKivraUtil::rgrpOptionClick()
{
    if (frmKeypadInfo_)
        frmKeypadInfo_->ClearRows();
    if (ui->rgrpOption->ItemIndex() == 1)
        KivraOCX->BeginQuestion(0);
    else
        KivraOCX->CollectKeypadSerialNumbers();
    btnClearClick();
}

void TfrmKivraUtil::btnKeyPadInfoClick()
{
    const bool timestamps = ui->rgrpOption->ItemIndex() == 1;
    if (frmKeypadInfo_) {
        frmKeypadInfo_->SetInfoColumns(timestamps);
        frmKeypadInfo_->ClearRows();
    }
    if (!KivraOCX->GetConnected()) {
        ShowMessage(QStringLiteral("Base not connected."));
        return;
    }
    if (timestamps)
        KivraOCX->RequestKeypadTimestamps();
    else
        KivraOCX->RequestKeypadSerialNumbers();
    if (frmKeypadInfo_)
        frmKeypadInfo_->ShowOver(this);
    InfoRowCount = 0;
}

void TfrmKivraUtil::btnClearInfoClick()
{
    if (ui->rgrpOption->ItemIndex() == 1) {
        KivraOCX->BeginQuestion(0);
    } else {
        KivraOCX->BeginQuestion(0);
        KivraOCX->CollectKeypadSerialNumbers();
    }
    if (frmKeypadInfo_)
        frmKeypadInfo_->ClearRows();
    InfoRowCount = 0;
}

void TfrmKivraUtil::KivraOCXKeypadSerialNumber(int KeypadID, const std::string& SerialNum,
                                               const std::string& Version, int BatteryLevel, bool)
{
    if (frmKeypadInfo_)
        frmKeypadInfo_->AddRow(QString::number(KeypadID),
                               {Text(SerialNum), Text(Version), QString::number(BatteryLevel)});
    ++InfoRowCount;
}

void TfrmKivraUtil::KivraOCXKeypadTimestamp(int KeypadID, int, int Timestamp, const std::string& Version,
                                            int BatteryLevel, bool)
{
    if (frmKeypadInfo_)
        frmKeypadInfo_->AddRow(QString::number(KeypadID), {FormatTimestampSeconds(Timestamp), Text(Version),
                                                           QString::number(BatteryLevel)});
    ++InfoRowCount;
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
