#include "app/LumALed.h"

#include "core/Exception.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QTimer>

#include <exception>
#include <vector>

namespace kivra {

QColor ColorToQColor(TColor color, const QPalette& palette)
{
    if (color & 0x80000000u) {
        // System colour indexes; only the button face is used by this program.
        if ((color & 0xFFu) == 15)
            return palette.color(QPalette::Button);
        return palette.color(QPalette::Window);
    }
    return {static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
            static_cast<int>((color >> 16) & 0xFF)};
}

TColor RGBToColor(int red, int green, int blue)
{
    return static_cast<TColor>(red & 0xFF) | (static_cast<TColor>(green & 0xFF) << 8) |
           (static_cast<TColor>(blue & 0xFF) << 16);
}

void FloodFillSurface(QImage& image, QPoint start, QRgb target, QRgb fill)
{
    if (!image.rect().contains(start))
        return;
    target |= 0xFF000000u;
    fill |= 0xFF000000u;
    if (target == fill || (image.pixel(start) | 0xFF000000u) != target)
        return;
    std::vector<QPoint> stack{start};
    while (!stack.empty()) {
        const QPoint p = stack.back();
        stack.pop_back();
        if (!image.rect().contains(p) || (image.pixel(p) | 0xFF000000u) != target)
            continue;
        image.setPixel(p, fill);
        stack.emplace_back(p.x() + 1, p.y());
        stack.emplace_back(p.x() - 1, p.y());
        stack.emplace_back(p.x(), p.y() + 1);
        stack.emplace_back(p.x(), p.y() - 1);
    }
}

QSize TLumALed::StyleSize(TLEDStyle style)
{
    switch (style) {
    case TLEDStyle::LEDSmall:
    case TLEDStyle::LEDSqSmall:
        return {16, 16};
    case TLEDStyle::LEDLarge:
    case TLEDStyle::LEDSqLarge:
        return {22, 22};
    case TLEDStyle::LEDVertical:
        return {16, 22};
    case TLEDStyle::LEDHorizontal:
        return {22, 16};
    }
    return {16, 16};
}

QString TLumALed::ImageName(TLEDStyle style, bool bordered)
{
    const char* shape = "SM";
    switch (style) {
    case TLEDStyle::LEDSmall:
        shape = "SM";
        break;
    case TLEDStyle::LEDLarge:
        shape = "LG";
        break;
    case TLEDStyle::LEDSqSmall:
        shape = "SQSM";
        break;
    case TLEDStyle::LEDSqLarge:
        shape = "SQLG";
        break;
    case TLEDStyle::LEDVertical:
        shape = "VT";
        break;
    case TLEDStyle::LEDHorizontal:
        shape = "HZ";
        break;
    }
    return QStringLiteral(":/images/led/%1%2.xpm").arg(bordered ? 'B' : 'N').arg(QLatin1String(shape));
}

TLumALed::TLumALed(QWidget* owner) : QWidget(owner)
{
    setAttribute(Qt::WA_Hover, false);
    resize(16, 16);
    BuildBitmaps();
}

TLumALed::~TLumALed()
{
    StopBlinking();
}

void TLumALed::BuildBitmaps()
{
    const QSize size = StyleSize(LEDStyle_);
    resize(size);
    QImage loaded(ImageName(LEDStyle_, Bordered_));
    if (loaded.isNull()) { // a missing resource still gives a lamp of the right size
        loaded = QImage(size, QImage::Format_RGB32);
        loaded.fill(QColor(0, 255, 0));
    }
    QImage base = loaded.convertToFormat(QImage::Format_RGB32);
    TrueImage_ = base;
    FalseImage_ = base;
    const QPoint centre(size.width() / 2, size.height() / 2);
    const QRgb lime = qRgb(0, 255, 0);
    const QRgb silver = qRgb(192, 192, 192);
    FloodFillSurface(TrueImage_, centre, lime, ColorToQColor(TrueColor_, palette()).rgb());
    FloodFillSurface(FalseImage_, centre, lime, ColorToQColor(FalseColor_, palette()).rgb());
    if (!Bordered_) {
        const QRgb border = ColorToQColor(BorderColor_, palette()).rgb();
        FloodFillSurface(TrueImage_, {0, 0}, silver, border);
        FloodFillSurface(FalseImage_, {0, 0}, silver, border);
    }
}

void TLumALed::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.drawImage(rect(), Phase_ == 0 ? TrueImage_ : FalseImage_);
}

void TLumALed::ShowTrue()
{
    Phase_ = 0;
    update();
}

void TLumALed::ShowFalse()
{
    Phase_ = 1;
    update();
}

void TLumALed::StartBlinking()
{
    if (BlinkTimer_)
        return;
    Phase_ = 0;
    BlinkTimer_ = new QTimer(this);
    BlinkTimer_->setInterval(Interval_);
    connect(BlinkTimer_, &QTimer::timeout, this, [this] { TimerTick(); });
    BlinkTimer_->start();
}

void TLumALed::StopBlinking()
{
    delete BlinkTimer_;
    BlinkTimer_ = nullptr;
}

void TLumALed::TimerTick()
{
    Phase_ = 1 - Phase_;
    update();
    Notify(OnTimer_);
}

void TLumALed::Notify(const TNotifyEvent& handler)
{
    if (!handler)
        return;
    // Called from the event loop: errors go to the central handler.
    try {
        handler(this);
    } catch (const std::exception& e) { // EAbort included: the central handler drops it
        HandleException(e);
    }
}

void TLumALed::SetValue(bool value)
{
    if (value == Value_)
        return;
    Value_ = value;
    if (value) {
        ShowTrue();
        if (Blink_)
            StartBlinking();
    } else {
        StopBlinking();
        ShowFalse();
    }
}

void TLumALed::SetBlink(bool value)
{
    if (value == Blink_)
        return;
    if (Value_)
        ShowTrue();
    else
        ShowFalse();
    Blink_ = value;
    if (Blink_ && Value_)
        StartBlinking();
    else
        StopBlinking();
}

void TLumALed::SetColor(TColor& field, TColor value)
{
    if (value == field)
        return;
    const bool blink = Blink_;
    if (blink)
        SetBlink(false);
    field = value;
    BuildBitmaps();
    SetBlink(blink); // restarts the cycle with the true image
    update();
}

void TLumALed::SetTrueColor(TColor value)
{
    SetColor(TrueColor_, value);
}

void TLumALed::SetFalseColor(TColor value)
{
    SetColor(FalseColor_, value);
}

void TLumALed::SetBorderColor(TColor value)
{
    SetColor(BorderColor_, value);
}

void TLumALed::SetBordered(bool value)
{
    if (value == Bordered_)
        return;
    Bordered_ = value;
    BuildBitmaps();
    update();
}

void TLumALed::SetLEDStyle(TLEDStyle value)
{
    if (value == LEDStyle_)
        return;
    LEDStyle_ = value;
    BuildBitmaps();
    update();
}

void TLumALed::SetInterval(int value)
{
    Interval_ = value;
    if (BlinkTimer_)
        BlinkTimer_->setInterval(value);
}

void TLumALed::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    Notify(OnMouseEnter_);
}

void TLumALed::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    Notify(OnMouseLeave_);
}

void TLumALed::mouseReleaseEvent(QMouseEvent* event)
{
    QWidget::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Notify(OnClick_);
}

} // namespace kivra
