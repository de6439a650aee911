#include "app/KeypadGrid.h"

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>

namespace kivra {

TKeypadGrid::TKeypadGrid(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

QString TKeypadGrid::Cell(int col, int row) const
{
    if (col < 0 || col >= kGridColumns || row < 0 || row >= kGridRows)
        return {};
    return Cells_[static_cast<std::size_t>(col)][static_cast<std::size_t>(row)];
}

void TKeypadGrid::SetCell(int col, int row, const QString& text)
{
    if (col < 0 || col >= kGridColumns || row < 0 || row >= kGridRows)
        return;
    Cells_[static_cast<std::size_t>(col)][static_cast<std::size_t>(row)] = text;
    // The neighbours' outlines overlap this cell's edges: repaint one pixel around it.
    update(CellRect(col, row).adjusted(-1, -1, 1, 1));
}

QRect TKeypadGrid::CellRect(int col, int row) const
{
    return {kBorder + col * kColWidth, kBorder + row * kRowHeight, kColWidth, kRowHeight};
}

void TKeypadGrid::paintEvent(QPaintEvent* event)
{
    QPainter p(this);
    const QRect client = rect().adjusted(kBorder, kBorder, -kBorder, -kBorder);
    p.fillRect(rect(), Qt::white);
    p.setClipRegion(event->region().intersected(client));
    p.setFont(font());
    const QFontMetrics fm(font());
    // Row by row, left to right: each cell's white outline lies over its earlier neighbours' edges.
    for (int row = 0; row < kGridRows; ++row) {
        for (int col = 0; col < kGridColumns; ++col) {
            const QRect cell = CellRect(col, row);
            const QRect outlined = cell.adjusted(-1, -1, 1, 1);
            if (!event->region().intersects(outlined))
                continue;
            const QColor color = CellColor ? CellColor(col, row) : QColor(Qt::white);
            p.setPen(Qt::white);
            p.setBrush(color);
            p.drawRect(outlined.adjusted(0, 0, -1, -1)); // outline on (L-1,T-1)..(R,B)
            p.setPen(Qt::black);
            const int left = cell.left();
            const int right = cell.left() + cell.width(); // exclusive
            int x = left;
            int y = cell.top();
            const QString text = Cell(col, row);
            qsizetype start = 0;
            while (start < text.size()) {
                qsizetype blank = text.indexOf(QLatin1Char(' '), start);
                const qsizetype end = blank < 0 ? text.size() : blank + 1;
                const QString piece = text.mid(start, end - start);
                const int w = fm.horizontalAdvance(piece);
                if (x + w > right) {
                    y += fm.height();
                    x = left;
                }
                p.drawText(x, y + fm.ascent(), piece);
                x += w;
                start = end;
            }
        }
    }
    // Sunken frame around the cells.
    p.setClipping(false);
    p.setBrush(Qt::NoBrush);
    p.setPen(QColor(128, 128, 128));
    p.drawLine(0, 0, width() - 1, 0);
    p.drawLine(0, 0, 0, height() - 1);
    p.setPen(QColor(64, 64, 64));
    p.drawLine(1, 1, width() - 2, 1);
    p.drawLine(1, 1, 1, height() - 2);
    p.setPen(Qt::white);
    p.drawLine(0, height() - 1, width() - 1, height() - 1);
    p.drawLine(width() - 1, 0, width() - 1, height() - 1);
    p.setPen(QColor(212, 208, 200));
    p.drawLine(1, height() - 2, width() - 2, height() - 2);
    p.drawLine(width() - 2, 1, width() - 2, height() - 2);
}

} // namespace kivra
