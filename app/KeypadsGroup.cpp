#include "app/KeypadsGroup.h"

#include "app/Application.h"
#include "app/KeypadGrid.h"
#include "app/RadioGroup.h"
#include "app/frmKeypadInfo.h"
#include "control/Kivra.h"
#include "ui_frmKivraUtil.h"

#include <QLineEdit>

namespace kivra {
namespace {

QString Text(const std::string& s)
{
    return BytesToQString(s);
}

// Tool tips treat "\n\r" and "\r\n" alike once carriage returns are dropped.
QString ToolTip(const char* stored)
{
    return QString::fromLatin1(stored).remove(QLatin1Char('\r'));
}

} // namespace

void TKeypadsGroup::SetUpKeypadsGroup(Ui::TfrmKivraUtil& form, TKivra& kivra, QWidget& window)
{
    form_ = &form;
    kivra_ = &kivra;
    window_ = &window;

    // Counters and cell labels.
    CurrentCellColor_ = Qt::white;
    ActiveKeypadCount = kGridKeypads;
    InfoRowCount = 0;
    GridChanged = false;
    KeypadValueArray.fill('\0');
    for (int n = 1; n <= kGridKeypads; ++n)
        WriteCellText(n);
    form.StringGrid1->CellColor = [this](int col, int row) { return CellColor(col, row); };

    // Every keypad a member of the defined group.
    ActiveKeypadArray.fill(true);
    ActiveKeypadArray[0] = false;

    // The counter beside "All": read-only, borderless, window-face colour.
    form.edtKeypadCount->setAutoFillBackground(false);
    QPalette counterPalette = form.edtKeypadCount->palette();
    counterPalette.setColor(QPalette::Base, Qt::transparent);
    form.edtKeypadCount->setPalette(counterPalette);

    form.cboKeypads->setToolTip(ToolTip(kKeypadRangeHint));
    form.StringGrid1->setToolTip(ToolTip(kGridColourHint));

    const auto clicked = [this, &window](QAbstractButton* button, void (TKeypadsGroup::*handler)()) {
        QObject::connect(button, &QAbstractButton::clicked, &window,
                         [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
    };
    clicked(form.btnClear, &TKeypadsGroup::btnClearClick);
    clicked(form.btnAddKeypad, &TKeypadsGroup::btnAddKeypadClick);
    clicked(form.btnKeyPadInfo, &TKeypadsGroup::btnKeyPadInfoClick);
    clicked(form.btnClearInfo, &TKeypadsGroup::btnClearInfoClick);
    QObject::connect(form.cboKeypads->lineEdit(), &QLineEdit::textEdited, &window,
                     [this] { cboKeypadsChange(); });
    QObject::connect(form.cboKeypads, &QComboBox::activated, &window, [this] { cboKeypadsChange(); });
    form.rgrpKeypadAdd->SetOnClick([this] { rgrpKeypadAddClick(); });
    form.rgrpOption->SetOnClick([this] { rgrpOptionClick(); });
}

void TKeypadsGroup::RepaintGridIfChanged()
{
    if (GridChanged) {
        form_->StringGrid1->update();
        GridChanged = false;
    }
}

void TKeypadsGroup::WriteCellText(int KeypadID)
{
    form_->StringGrid1->SetCell(
        KeypadColumn(KeypadID), KeypadRow(KeypadID),
        Text(KeypadCellText(KeypadID, KeypadValueArray[static_cast<std::size_t>(KeypadID)])));
}

QColor TKeypadsGroup::CellColor(int col, int row)
{
    const auto n = static_cast<std::size_t>(CellKeypad(col, row));
    CurrentCellColor_ = QColor::fromRgb(KeypadCellColor(KeypadStateArray[n], ActiveKeypadArray[n]));
    return CurrentCellColor_;
}

void TKeypadsGroup::SetCounter(const QString& text)
{
    form_->edtKeypadCount->setText(text);
}

QString TKeypadsGroup::CounterText() const
{
    return form_->edtKeypadCount->text();
}

void TKeypadsGroup::changeGrid(int KeypadID, char c)
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

void TKeypadsGroup::KivraOCXKeypadDataReceived(int KeypadID, int Value)
{
    changeGrid(KeypadID, static_cast<char>('0' + Value));
}

void TKeypadsGroup::KivraOCXSoftkeyDataReceived(int KeypadID, const std::string& KeyValue)
{
    changeGrid(KeypadID, KeyValue.empty() ? ' ' : KeyValue[0]);
}

void TKeypadsGroup::KivraOCXKeypadNotification(int KeypadID)
{
    changeGrid(KeypadID, 'A');
}

void TKeypadsGroup::KivraOCXLowBatteryWarning(int KeypadID)
{
    if (KeypadID >= 1 && KeypadID <= kGridKeypads)
        KeypadStateArray[static_cast<std::size_t>(KeypadID)] = kKeypadLowBattery;
}

void TKeypadsGroup::btnClearClick()
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
    SetCounter(Text(kivra::CounterText(0, kivra_->GetKeypadListCount())));
    CurrentCellColor_ = Qt::white;
    form_->StringGrid1->repaint();
    if (form_->rgrpOption->ItemIndex() == 1)
        kivra_->BeginQuestion(0);
}

void TKeypadsGroup::rgrpKeypadAddClick()
{
    if (form_->rgrpKeypadAdd->ItemIndex() == 0)
        btnAddKeypadClick();
}

void TKeypadsGroup::cboKeypadsChange()
{
    form_->rgrpKeypadAdd->SetItemIndex(1);
    form_->btnAddKeypad->setEnabled(true);
}

void TKeypadsGroup::btnAddKeypadClick()
{
    if (!kivra_->GetConnected()) {
        ShowMessage(QStringLiteral("Base is not connected!"));
        return;
    }
    form_->btnAddKeypad->setEnabled(false);
    // The text is checked before anything changes: a refused one keeps the grid, the group and
    // the control's keypad list as they were.
    const QString text = form_->cboKeypads->currentText();
    if (form_->rgrpKeypadAdd->ItemIndex() == 1)
        ParseKeypadRangeText(text.toLatin1().toStdString(), kivra_->GetMaxKeypads());
    btnClearClick();
    kivra_->ClearKeypadList();
    if (form_->rgrpKeypadAdd->ItemIndex() == 0) {
        kivra_->AddKeypad(1, kGridKeypads);
    } else if (form_->rgrpKeypadAdd->ItemIndex() == 1) {
        kivra_->AddKeypad(text.toLatin1().toStdString());
        kivra_->AddKeypad(1, kGridKeypads);
        form_->cboKeypads->addItem(text);
        form_->cboKeypads->setEditText(text);
        FillActiveKeypadArray();
    }
    SetCounter(Text(kivra::CounterText(0, ActiveKeypadCount)));
    form_->StringGrid1->repaint();
}

void TKeypadsGroup::FillActiveKeypadArray()
{
    const TDefinedGroup group = ParseDefinedGroup(form_->cboKeypads->currentText().toLatin1().toStdString());
    ActiveKeypadArray = group.Members;
    ActiveKeypadCount = group.Count;
}

void TKeypadsGroup::rgrpOptionClick()
{
    if (frmKeypadInfo_)
        frmKeypadInfo_->ClearRows();
    if (form_->rgrpOption->ItemIndex() == 1)
        kivra_->BeginQuestion(0);
    else
        kivra_->CollectKeypadSerialNumbers();
    btnClearClick();
}

void TKeypadsGroup::btnKeyPadInfoClick()
{
    const bool timestamps = form_->rgrpOption->ItemIndex() == 1;
    if (frmKeypadInfo_) {
        frmKeypadInfo_->SetInfoColumns(timestamps);
        frmKeypadInfo_->ClearRows();
    }
    if (!kivra_->GetConnected()) {
        ShowMessage(QStringLiteral("Base not connected."));
        return;
    }
    if (timestamps)
        kivra_->RequestKeypadTimestamps();
    else
        kivra_->RequestKeypadSerialNumbers();
    if (frmKeypadInfo_)
        frmKeypadInfo_->ShowOver(window_);
    InfoRowCount = 0;
}

void TKeypadsGroup::btnClearInfoClick()
{
    kivra_->BeginQuestion(0);
    if (form_->rgrpOption->ItemIndex() != 1)
        kivra_->CollectKeypadSerialNumbers();
    if (frmKeypadInfo_)
        frmKeypadInfo_->ClearRows();
    InfoRowCount = 0;
}

void TKeypadsGroup::KivraOCXKeypadSerialNumber(int KeypadID, const std::string& SerialNum,
                                               const std::string& Version, int BatteryLevel, bool)
{
    if (frmKeypadInfo_)
        frmKeypadInfo_->AddRow(QString::number(KeypadID),
                               {Text(SerialNum), Text(Version), QString::number(BatteryLevel)});
    ++InfoRowCount;
}

void TKeypadsGroup::KivraOCXKeypadTimestamp(int KeypadID, int, int Timestamp, const std::string& Version,
                                            int BatteryLevel, bool)
{
    if (frmKeypadInfo_)
        frmKeypadInfo_->AddRow(QString::number(KeypadID), {FormatTimestampSeconds(Timestamp), Text(Version),
                                                           QString::number(BatteryLevel)});
    ++InfoRowCount;
}

void TKeypadsGroup::ResendKeypadGroup()
{
    if (form_->rgrpKeypadAdd->ItemIndex() != 1 || form_->btnAddKeypad->isEnabled() || !kivra_->GetConnected())
        return; // "All", or a text typed but not yet Set
    const std::string text = form_->cboKeypads->currentText().toLatin1().toStdString();
    kivra_->ClearKeypadList();
    kivra_->AddKeypad(text);
    kivra_->AddKeypad(1, kGridKeypads);
}

void TKeypadsGroup::SelectInfoOptionQuietly(int index)
{
    const std::function<void()> handler = form_->rgrpOption->GetOnClick();
    form_->rgrpOption->SetOnClick({});
    form_->rgrpOption->SetItemIndex(index);
    form_->rgrpOption->SetOnClick(handler);
}

} // namespace kivra
