#include "app/frmCommands.h"

#include "app/Application.h"
#include "app/RadioGroup.h"
#include "core/Exception.h"
#include "ui_frmCommands.h"

#include <QApplication>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadioButton>
#include <QToolTip>

#include <cstring>

namespace kivra {

namespace {

constexpr const char* kKeyHint = "Click to enable or disable key";

// Shows every hint for kHintHidePause ms unless a widget asks for its own time. Hints keep their
// stored line separators; on screen each separator pair is one line break.
class THintDisplay : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::ToolTip || !watched->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->toolTip().isEmpty() || widget->toolTipDuration() >= 0)
            return false;
        QString text = widget->toolTip();
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        text.replace(QLatin1String("\n\r"), QLatin1String("\n"));
        text.remove(QLatin1Char('\r'));
        const auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), text, widget, QRect(), kHintHidePause);
        return true;
    }
};

void InstallHintDisplay()
{
    static QObject* installed = nullptr;
    if (installed || !qApp)
        return;
    installed = new THintDisplay(qApp);
    qApp->installEventFilter(installed);
}

QString JoinHint(std::initializer_list<const char*> lines, const char* separator)
{
    QString text;
    for (const char* line : lines) {
        if (!text.isEmpty())
            text += QLatin1String(separator);
        text += QLatin1String(line);
    }
    return text;
}

// Pictures. The keypad drawing covers 220 x 518 px; the key images sit on it at fixed places, so
// the drawing's membrane and wells are laid out for them (offsets relative to the drawing).
constexpr int kKeypadW = 220;
constexpr int kKeypadH = 518;

enum class TKeyLook : std::uint8_t { Digit, Soft, Clear };

void PaintKeyFace(QPainter& p, const QRectF& r, TKeyLook look, bool enabled, const QString& label)
{
    const qreal radius = look == TKeyLook::Soft ? r.height() / 2 : 6;
    QLinearGradient face(r.topLeft(), r.bottomLeft());
    QColor border;
    QColor ink;
    if (look == TKeyLook::Clear) {
        face.setColorAt(0, QColor(214, 96, 84));
        face.setColorAt(1, QColor(164, 52, 44));
        border = QColor(96, 30, 26);
        ink = Qt::white;
    } else if (enabled) {
        face.setColorAt(0, QColor(236, 252, 230));
        face.setColorAt(1, QColor(160, 222, 140));
        border = QColor(38, 128, 32);
        ink = QColor(16, 40, 16);
    } else {
        face.setColorAt(0, QColor(120, 124, 130));
        face.setColorAt(1, QColor(84, 88, 94));
        border = QColor(40, 42, 46);
        ink = QColor(178, 182, 188);
    }
    p.setPen(QPen(border, enabled && look != TKeyLook::Clear ? 2.0 : 1.0));
    p.setBrush(face);
    p.drawRoundedRect(r, radius, radius);

    QFont font(QStringLiteral("Liberation Sans"));
    font.setBold(true);
    font.setPixelSize(look == TKeyLook::Digit ? 16 : 10);
    if (label == QLatin1String("*"))
        font.setPixelSize(22);
    p.setFont(font);
    p.setPen(ink);
    QRectF textRect = r;
    if (label == QLatin1String("*"))
        textRect.translate(0, 4); // the asterisk glyph sits high
    p.drawText(textRect, Qt::AlignCenter, label);

    if (!enabled && look != TKeyLook::Clear) {
        // Locked or switched off: a small bar across the lower right corner.
        p.setPen(QPen(QColor(210, 70, 60), 2.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(r.right() - 9, r.bottom() - 4), QPointF(r.right() - 4, r.bottom() - 9));
    }
}

} // namespace

QPixmap PaintKeyImage(const QString& label, bool enabled, QSize size, bool softKey, bool clearKey)
{
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const TKeyLook look = clearKey ? TKeyLook::Clear : (softKey ? TKeyLook::Soft : TKeyLook::Digit);
    QRectF r(2, 2, size.width() - 4, size.height() - 4);
    if (softKey)
        r = QRectF(2, 9, size.width() - 4, size.height() - 18);
    PaintKeyFace(p, r, look, enabled, label);
    return pixmap;
}

QPixmap PaintKeypadDrawing(QSize size)
{
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size.width() / static_cast<qreal>(kKeypadW), size.height() / static_cast<qreal>(kKeypadH));

    // Housing: a tall rounded body, slightly wider at the top.
    QPainterPath body;
    body.moveTo(30, 2);
    body.lineTo(190, 2);
    body.quadTo(218, 2, 218, 30);
    body.lineTo(212, 470);
    body.quadTo(210, 516, 170, 516);
    body.lineTo(50, 516);
    body.quadTo(10, 516, 8, 470);
    body.lineTo(2, 30);
    body.quadTo(2, 2, 30, 2);
    QLinearGradient shell(0, 0, kKeypadW, 0);
    shell.setColorAt(0, QColor(46, 52, 62));
    shell.setColorAt(0.5, QColor(74, 82, 96));
    shell.setColorAt(1, QColor(40, 46, 56));
    p.setPen(QPen(QColor(20, 22, 28), 2));
    p.setBrush(shell);
    p.drawPath(body);

    // Display window with a liquid-crystal face.
    p.setPen(QPen(QColor(20, 22, 28), 1.5));
    p.setBrush(QColor(28, 30, 36));
    p.drawRoundedRect(QRectF(36, 46, 148, 96), 10, 10);
    QLinearGradient lcd(0, 56, 0, 132);
    lcd.setColorAt(0, QColor(196, 214, 170));
    lcd.setColorAt(1, QColor(160, 182, 132));
    p.setBrush(lcd);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(46, 58, 128, 72), 4, 4);
    QFont lcdFont(QStringLiteral("Liberation Mono"));
    lcdFont.setPixelSize(30);
    lcdFont.setBold(true);
    p.setFont(lcdFont);
    p.setPen(QColor(40, 52, 34, 200));
    p.drawText(QRectF(46, 58, 124, 72), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("7"));
    QFont small(QStringLiteral("Liberation Sans"));
    small.setPixelSize(9);
    small.setBold(true);
    p.setFont(small);
    p.drawText(QRectF(52, 62, 60, 12), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("CH 1"));

    // Indicator and brand strip.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 220, 90));
    p.drawEllipse(QPointF(110, 28), 4, 4);
    p.setPen(QColor(200, 206, 216));
    small.setPixelSize(11);
    p.setFont(small);
    p.drawText(QRectF(0, 150, kKeypadW, 20), Qt::AlignCenter, QStringLiteral("KIVRA"));

    // Membrane panel under the keys: soft key row and the 4 x 3 key field.
    p.setPen(QPen(QColor(26, 28, 34), 1.5));
    p.setBrush(QColor(58, 64, 76));
    p.drawRoundedRect(QRectF(52, 212, 116, 52), 12, 12);
    p.drawRoundedRect(QRectF(50, 284, 124, 142), 10, 10);

    // Wells behind every key image, so the pad looks whole whichever look a key has.
    p.setBrush(QColor(34, 38, 46));
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i)
        p.drawRoundedRect(QRectF(60 + 34 * i, 230, 33, 17), 8, 8);
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 3; ++col)
            p.drawRoundedRect(QRectF(57 + 37 * col, 292 + 31 * row, 32, 31), 6, 6);
    }

    // Speaker slots near the bottom.
    p.setPen(QPen(QColor(30, 34, 40), 3, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 4; ++i)
        p.drawLine(QPointF(80, 460 + 9 * i), QPointF(140, 460 + 9 * i));
    return pixmap;
}

QString CommandsHint(const char* controlName)
{
    const char* lf = "\n\r"; // the stored separator of every hint but the first
    const QString name = QLatin1String(controlName);
    if (name == QLatin1String("chkDigitalEcho"))
        return JoinHint(
            {"When checked, a key that is pressed will display the value of the key on the keypad display.",
             "For example, with digit echo on, pressing key 2 displays \"2\" on the keypad display."},
            "\r\n");
    if (name == QLatin1String("chkStarKey"))
        return JoinHint(
            {"When checked, the '*' keypad key will be enabled.", "By default the '*' key is disabled."}, lf);
    if (name == QLatin1String("chkLowBattery"))
        return JoinHint({"When checked, a low battery warning will be given when a keypad",
                         "experiences low battery power."},
                        lf);
    if (name == QLatin1String("chkPostAck"))
        return JoinHint(
            {"When checked, a key that is pressed will display horizontal bars on the keypad display",
             "after the base has acknowledged receipt of the key press.  Acknowledge will display for",
             " three seconds."},
            lf);
    if (name == QLatin1String("chkShortCuts"))
        return JoinHint({"When checked, the keypad shortcuts for changing the",
                         "keypad address and channel are enabled."},
                        lf);
    if (name == QLatin1String("chkSoftKeys"))
        return JoinHint(
            {"When checked, the softkeys at the top of the keypad membrane will be responsive to user "
             "actions.",
             "The default base behavior sets these softkeys to inactive."},
            lf);
    if (name == QLatin1String("chkInitResponse"))
        return JoinHint({"When checked, only the keypress will be sent to the base.  This property is easy "
                         "to misunderstand.",
                         "To clarify, if this property is enabled a keypad user presses 4 can press clear "
                         "and change their "
                         "response",
                         "before the base reads the keypress value.  The user cannot press 4, then press 2 "
                         "before the base",
                         "has read the keypress value.  The 2 will be rejected by the keypad.  Once the 4 "
                         "has been read, the "
                         "user",
                         "can then press 2 and it will be accepted by the keypad."},
                        lf);
    if (name == QLatin1String("chkLockConfig"))
        return JoinHint(
            {"When checked, keypad manual configuration will be locked.  No shortcuts will work on the "
             "keypad.",
             "This setting is intended to prevent keypad users from inadvertently or intentionally",
             " changing keypad settings."},
            lf);
    if (name == QLatin1String("lblPower"))
        return JoinHint(
            {"Normally full power is appropriate and results in the longest range of RF communication.",
             "Occassionally when interference is a problem, experimenting with lower power levels",
             " will yield less RF interference at the expense of keypad range."},
            lf);
    if (name == QLatin1String("rgrpConfigure"))
        return JoinHint(
            {"When set to Keypad, all keypad changes must be made manually using the keypad membrane.",
             "When set to Base, all keypads that are within range and powered up will be automatically",
             "reconfigured based on the following Keypad Settings."},
            lf);
    return {};
}

TKeyImage::TKeyImage(QWidget* parent) : QLabel(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setToolTip(QLatin1String(kKeyHint));
}

void TKeyImage::paintEvent(QPaintEvent* /*event*/)
{
    // A disabled key keeps its look, only dimmed: the style's greyed rendering would make an
    // enabled key ("Act") look like a plain one.
    QPainter painter(this);
    if (!isEnabled())
        painter.setOpacity(0.5);
    const QPixmap picture = pixmap();
    if (!picture.isNull())
        painter.drawPixmap(rect(), picture);
}

void TKeyImage::mousePressEvent(QMouseEvent* event)
{
    Pressed_ = event->button() == Qt::LeftButton && isEnabled();
    event->accept();
}

void TKeyImage::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click =
        Pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    Pressed_ = false;
    event->accept();
    if (!click || !isEnabled() || !OnClick)
        return;
    try {
        OnClick();
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        HandleException(e);
    }
}

TfrmCommands::TfrmCommands(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TfrmCommands>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(516, 556);
    setFont(UtilityFont());
    // Bold captions keep the window's face.
    for (QWidget* w : std::initializer_list<QWidget*>{ui->rgrpConfigure, ui->lblPower}) {
        QFont f = UtilityFont();
        f.setBold(true);
        w->setFont(f);
    }
    for (int i = 0; i < ui->rgrpConfigure->Count(); ++i)
        ui->rgrpConfigure->Button(i)->setFont(UtilityFont());

    grpSettings = ui->grpSettings;
    rgrpConfigure = ui->rgrpConfigure;
    chkDigitalEcho = ui->chkDigitalEcho;
    chkStarKey = ui->chkStarKey;
    chkLowBattery = ui->chkLowBattery;
    chkPostAck = ui->chkPostAck;
    chkShortCuts = ui->chkShortCuts;
    chkSoftKeys = ui->chkSoftKeys;
    chkInitResponse = ui->chkInitResponse;
    chkLockConfig = ui->chkLockConfig;
    lblPower = ui->lblPower;
    cboTransPower = ui->cboTransPower;
    btnApply = ui->btnApply;
    btnCancel = ui->btnCancel;
    btnDoWork = ui->btnDoWork;
    imgKeypad = ui->imgKeypad;
    imgKey = {ui->imgKey0, ui->imgKey1, ui->imgKey2, ui->imgKey3, ui->imgKey4,
              ui->imgKey5, ui->imgKey6, ui->imgKey7, ui->imgKey8, ui->imgKey9};
    imgKeyAct = {ui->imgKey0Act, ui->imgKey1Act, ui->imgKey2Act, ui->imgKey3Act, ui->imgKey4Act,
                 ui->imgKey5Act, ui->imgKey6Act, ui->imgKey7Act, ui->imgKey8Act, ui->imgKey9Act};
    imgKeyA = ui->imgKeyA;
    imgKeyAAct = ui->imgKeyAAct;
    imgSKey = {ui->imgSKey1, ui->imgSKey2, ui->imgSKey3};
    imgSKeyAct = {ui->imgSKey1Act, ui->imgSKey2Act, ui->imgSKey3Act};
    imgClear = ui->imgClear;

    // Pictures, and at creation every plain image shown, every "Act" image hidden.
    imgKeypad->setAttribute(Qt::WA_TranslucentBackground);
    imgKeypad->setPixmap(PaintKeypadDrawing(imgKeypad->size()));
    for (int d = 0; d < 10; ++d) {
        const QString label = QString::number(d);
        imgKey[d]->setPixmap(PaintKeyImage(label, false, imgKey[d]->size()));
        imgKeyAct[d]->setPixmap(PaintKeyImage(label, true, imgKeyAct[d]->size()));
        imgKey[d]->OnClick = [this, d] { imgKeyClick(d); };
        imgKeyAct[d]->OnClick = [this, d] { imgKeyActClick(d); };
        imgKeyAct[d]->hide();
    }
    imgKeyA->setPixmap(PaintKeyImage(QStringLiteral("*"), false, imgKeyA->size()));
    imgKeyAAct->setPixmap(PaintKeyImage(QStringLiteral("*"), true, imgKeyAAct->size()));
    imgKeyA->OnClick = [this] { chkStarKey->setChecked(true); };
    imgKeyAAct->OnClick = [this] { chkStarKey->setChecked(false); };
    imgKeyAAct->hide();
    for (int n = 0; n < 3; ++n) {
        const QString label = QStringLiteral("S%1").arg(n + 1);
        imgSKey[n]->setPixmap(PaintKeyImage(label, false, imgSKey[n]->size(), true));
        imgSKeyAct[n]->setPixmap(PaintKeyImage(label, true, imgSKeyAct[n]->size(), true));
        imgSKey[n]->OnClick = [this] { chkSoftKeys->setChecked(true); };
        imgSKeyAct[n]->OnClick = [this] { chkSoftKeys->setChecked(false); };
        imgSKeyAct[n]->hide();
    }
    imgClear->setPixmap(PaintKeyImage(QStringLiteral("CLR"), false, imgClear->size(), false, true));

    cboTransPower->setCurrentIndex(-1);

    // FormCreate: hints on, shown for 30 s application-wide.
    InstallHintDisplay();
    for (QWidget* w : std::initializer_list<QWidget*>{chkDigitalEcho, chkStarKey, chkLowBattery, chkPostAck,
                                                      chkShortCuts, chkSoftKeys, chkInitResponse,
                                                      chkLockConfig, lblPower, rgrpConfigure})
        w->setToolTip(CommandsHint(w->objectName().toLatin1().constData()));

    connect(chkStarKey, &QCheckBox::toggled, this, [this] { chkStarKeyClick(); });
    connect(chkSoftKeys, &QCheckBox::toggled, this, [this] { chkSoftKeysClick(); });
    rgrpConfigure->SetOnClick([this] { rgrpConfigureClick(); });
    connect(btnApply, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(btnDoWork, &QPushButton::clicked, this, [this] {
        if (!OnApply)
            return;
        try {
            OnApply();
        } catch (const EAbort&) {
        } catch (const std::exception& e) {
            HandleException(e); // the apply ends at the failing write; the dialog stays open
        }
    });
}

TfrmCommands::~TfrmCommands() = default;

void TfrmCommands::showEvent(QShowEvent* event)
{
    QWidget* over = parentWidget() ? parentWidget()->window() : QApplication::activeWindow();
    if (over && over != this && over->isVisible()) {
        QRect frame = frameGeometry();
        frame.moveCenter(over->frameGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}

int TfrmCommands::GetConfigureIndex() const
{
    return rgrpConfigure->ItemIndex();
}

void TfrmCommands::SetConfigureIndex(int index)
{
    rgrpConfigure->SetItemIndex(index);
}

int TfrmCommands::GetTransPowerIndex() const
{
    // A typed text counts only when it names an item, as a list with typing would match it.
    return cboTransPower->findText(cboTransPower->currentText(), Qt::MatchFixedString);
}

bool TfrmCommands::KeyEnabledShown(int digit) const
{
    return digit >= 0 && digit < 10 && !imgKeyAct[digit]->isHidden();
}

bool TfrmCommands::KeyLockedShown(int digit) const
{
    return digit >= 0 && digit < 10 && !imgKey[digit]->isHidden();
}

void TfrmCommands::ShowKeyLocked(int digit, bool locked)
{
    if (digit < 0 || digit >= 10)
        return;
    imgKey[digit]->setVisible(locked);
    imgKeyAct[digit]->setVisible(!locked);
}

void TfrmCommands::SetStarAndSoftKeyImagesEnabled(bool enabled)
{
    for (int n = 0; n < 3; ++n) {
        imgSKey[n]->setEnabled(enabled);
        imgSKeyAct[n]->setEnabled(enabled);
    }
    imgKeyA->setEnabled(enabled);
    imgKeyAAct->setEnabled(enabled);
}

void TfrmCommands::imgKeyClick(int digit)
{
    ShowKeyLocked(digit, false);
}

void TfrmCommands::imgKeyActClick(int digit)
{
    ShowKeyLocked(digit, true);
}

void TfrmCommands::chkStarKeyClick()
{
    const bool checked = chkStarKey->isChecked();
    imgKeyA->setVisible(!checked);
    imgKeyAAct->setVisible(checked);
}

void TfrmCommands::chkSoftKeysClick()
{
    const bool checked = chkSoftKeys->isChecked();
    for (int n = 0; n < 3; ++n) {
        imgSKey[n]->setVisible(!checked);
        imgSKeyAct[n]->setVisible(checked);
    }
}

void TfrmCommands::rgrpConfigureClick()
{
    SetStarAndSoftKeyImagesEnabled(rgrpConfigure->ItemIndex() == 1);
}

} // namespace kivra
