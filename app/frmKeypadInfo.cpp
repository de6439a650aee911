#include "app/frmKeypadInfo.h"

#include "app/Application.h"

#include <QHeaderView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kivra {

namespace {

// Outer size 400 x 568 with a frame of 4 px at each side and a 30 px title bar.
constexpr int kClientWidth = 392;
constexpr int kClientHeight = 534;
constexpr int kMinClientHeight = 33; // outer 67

// A row that sorts with the window's compare rule.
class TInfoRow : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override
    {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        return TfrmKeypadInfo::CompareRows(*this, other, column) < 0;
    }
};

bool ToNumber(const QString& text, const QLocale& locale, double& value)
{
    // Group separators are not accepted: "1.500" is never 1500.
    QLocale strict = locale;
    strict.setNumberOptions(QLocale::RejectGroupSeparator);
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    const QString trimmed = text.trimmed();
    value = strict.toDouble(trimmed, &ok);
    if (!ok)
        value = c.toDouble(trimmed, &ok);
    return ok && std::isfinite(value);
}

QString FoldAsciiCase(const QString& text)
{
    QString folded = text;
    for (QChar& c : folded) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return folded;
}

} // namespace

QString FormatTimestampSeconds(int Milliseconds, const QLocale& locale)
{
    const float seconds = static_cast<float>(Milliseconds) / 1000.0f;
    // Four significant digits first, decided on the decimal expansion of the float value.
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3e", static_cast<double>(seconds));
    const double rounded = std::strtod(buffer, nullptr);
    QLocale shown = locale;
    shown.setNumberOptions(QLocale::OmitGroupSeparator);
    if (std::fabs(rounded) >= 10000.0)
        return shown.toString(rounded, 'E', 3);
    return shown.toString(rounded, 'f', 3);
}

TfrmKeypadInfo::TfrmKeypadInfo(QWidget* parent) : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("frmKeypadInfo"));
    setWindowTitle(QStringLiteral("Keypad Information"));
    setFont(UtilityFont());
    resize(kClientWidth, kClientHeight);
    setMinimumSize(kClientWidth, kMinClientHeight);
    setMaximumWidth(kClientWidth);

    lstKeypadInfo = new QTreeWidget(this);
    lstKeypadInfo->setObjectName(QStringLiteral("lstKeypadInfo"));
    lstKeypadInfo->setColumnCount(4);
    lstKeypadInfo->setHeaderLabels({QStringLiteral("KeypadID"), QStringLiteral("TimeStamp"),
                                    QStringLiteral("Keypad Version"), QStringLiteral("Battery Level")});
    lstKeypadInfo->setRootIsDecorated(false);
    lstKeypadInfo->setItemsExpandable(false);
    lstKeypadInfo->setUniformRowHeights(true);
    lstKeypadInfo->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstKeypadInfo->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstKeypadInfo->setFrameShape(QFrame::NoFrame);
    lstKeypadInfo->setSortingEnabled(false); // rows stay where they arrive until a header click
    // Grid lines: a thin rule right and below every cell.
    lstKeypadInfo->setStyleSheet(QStringLiteral(
        "QTreeView::item { border-right: 1px solid #d4d4d4; border-bottom: 1px solid #d4d4d4; }"));
    QHeaderView* header = lstKeypadInfo->header();
    header->setStretchLastSection(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    for (int c = 0; c < 4; ++c)
        header->resizeSection(c, 100);
    connect(header, &QHeaderView::sectionClicked, this, [this](int column) { SortByColumn(column); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lstKeypadInfo);
}

void TfrmKeypadInfo::SetInfoColumns(bool timestampMode)
{
    QHeaderView* header = lstKeypadInfo->header();
    for (int c = 0; c < 4; ++c) {
        header->setSectionResizeMode(c, QHeaderView::Interactive);
        header->resizeSection(c, 100);
    }
    for (int c = 0; c < 4; ++c)
        header->setSectionResizeMode(c, QHeaderView::Stretch);
    lstKeypadInfo->setHeaderLabels(
        {QStringLiteral("Keypad ID"),
         timestampMode ? QStringLiteral("Time Stamp") : QStringLiteral("Serial Number"),
         QStringLiteral("Keypad Version"), QStringLiteral("Battery Level")});
}

void TfrmKeypadInfo::ClearRows()
{
    lstKeypadInfo->clear();
}

void TfrmKeypadInfo::AddRow(const QString& caption, const QStringList& subItems)
{
    auto* row = new TInfoRow();
    row->setText(0, caption);
    for (int i = 0; i < subItems.size() && i < 3; ++i)
        row->setText(i + 1, subItems[i]);
    lstKeypadInfo->addTopLevelItem(row);
}

int TfrmKeypadInfo::RowCount() const
{
    return lstKeypadInfo->topLevelItemCount();
}

QString TfrmKeypadInfo::CellText(int row, int column) const
{
    const QTreeWidgetItem* item = lstKeypadInfo->topLevelItem(row);
    return item ? item->text(column) : QString();
}

void TfrmKeypadInfo::ShowOver(QWidget* mainWindow)
{
    if (!Placed_ && mainWindow) {
        const QRect frame = mainWindow->frameGeometry();
        QRect mine = frameGeometry();
        mine.moveCenter(frame.center());
        move(mine.topLeft());
        Placed_ = true;
    }
    show();
    raise();
}

void TfrmKeypadInfo::SortByColumn(int column)
{
    if (column < 0 || column >= lstKeypadInfo->columnCount())
        return;
    SortColumn = column;
    lstKeypadInfo->sortItems(column, Qt::AscendingOrder);
}

int TfrmKeypadInfo::CompareTexts(const QString& a, const QString& b, const QLocale& locale)
{
    double x = 0;
    double y = 0;
    const bool xOk = ToNumber(a, locale, x);
    const bool yOk = ToNumber(b, locale, y);
    if (xOk && yOk)
        return x > y ? 1 : (x < y ? -1 : 0);
    // A caption that does not convert falls back to text order rather than stopping the sort.
    const int c = QString::compare(FoldAsciiCase(a), FoldAsciiCase(b), Qt::CaseSensitive);
    return c > 0 ? 1 : (c < 0 ? -1 : 0);
}

int TfrmKeypadInfo::CompareRows(const QTreeWidgetItem& a, const QTreeWidgetItem& b, int column,
                                const QLocale& locale)
{
    return CompareTexts(a.text(column), b.text(column), locale);
}

} // namespace kivra
