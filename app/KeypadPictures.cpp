#include "app/KeypadPictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdint>

namespace kivra {
namespace {

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

} // namespace kivra
