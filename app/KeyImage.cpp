#include "app/KeyImage.h"

#include "app/Application.h"

#include <QMouseEvent>
#include <QPainter>

namespace kivra {

TKeyImage::TKeyImage(QWidget* parent) : QLabel(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setToolTip(QStringLiteral("Click to enable or disable key"));
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
    Guarded(OnClick);
}

} // namespace kivra
