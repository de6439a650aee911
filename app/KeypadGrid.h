#pragma once
// TKeypadGrid: the owner-drawn 10 x 25 keypad grid of the main window. It holds the cell texts
// and paints; the colour of each cell is asked from its owner while painting.

#include "app/KeypadCells.h"

#include <QColor>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>

namespace kivra {

//! Cells 70 x 14, each filled with its colour, a white one-pixel outline and its text wrapped
//! word by word.
class TKeypadGrid : public QWidget {
public:
    explicit TKeypadGrid(QWidget* parent = nullptr);

    static constexpr int kColWidth = 70;
    static constexpr int kRowHeight = 14;
    static constexpr int kBorder = 2; // sunken frame

    QString Cell(int col, int row) const;
    //! Writes a cell; the cell is repainted at the next paint.
    void SetCell(int col, int row, const QString& text);
    //! Cell rectangle in widget coordinates (right and bottom exclusive as in QRect::adjusted).
    QRect CellRect(int col, int row) const;
    //! Colour of a cell, asked while painting.
    std::function<QColor(int col, int row)> CellColor;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::array<std::array<QString, kGridRows>, kGridColumns> Cells_;
};

} // namespace kivra
