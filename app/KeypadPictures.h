#pragma once
// The pictures of the configuration dialog, painted rather than shipped: the keypad drawing and
// the key images in their plain (disabled or locked) and enabled looks.

#include <QPixmap>
#include <QSize>
#include <QString>

namespace kivra {

//! The keypad drawing, at any size; designed at 220 x 518, where the key images sit on it.
QPixmap PaintKeypadDrawing(QSize size);
//! One key image in its plain (disabled or locked) or enabled look.
QPixmap PaintKeyImage(const QString& label, bool enabled, QSize size, bool softKey = false,
                      bool clearKey = false);

} // namespace kivra
