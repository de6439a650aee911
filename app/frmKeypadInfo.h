#pragma once
// TfrmKeypadInfo: the stay-on-top list of keypad reports (serial numbers or answer timestamps,
// with version and battery level). The main window fills it; this window only shows and sorts.

#include <QLocale>
#include <QString>
#include <QStringList>
#include <QWidget>

class QTreeWidget;
class QTreeWidgetItem;

namespace kivra {

//! Seconds text of a timestamp in milliseconds: the value (single precision) rounded to four
//! significant digits, shown with exactly three decimals and the locale's decimal separator,
//! no group separators; from 10000 s on in scientific notation ("1.235E+04").
QString FormatTimestampSeconds(int Milliseconds, const QLocale& locale = QLocale());

class TfrmKeypadInfo : public QWidget {
public:
    explicit TfrmKeypadInfo(QWidget* parent = nullptr);

    QTreeWidget* lstKeypadInfo = nullptr;
    int SortColumn = 0; //!< index of the column last clicked

    //! Column widths 100 px, then shared automatically; captions "Keypad ID", "Serial Number" or
    //! "Time Stamp", "Keypad Version", "Battery Level".
    void SetInfoColumns(bool timestampMode);
    void ClearRows();
    //! Appends a row at the bottom (never re-sorted on arrival): caption in column 0, the
    //! sub-items in columns 1..3.
    void AddRow(const QString& caption, const QStringList& subItems);
    int RowCount() const;
    //! Text of a cell (row in display order); empty when out of range.
    QString CellText(int row, int column) const;

    //! Shows the window (not modal), centred on the main window the first time.
    void ShowOver(QWidget* mainWindow);

    //! Sorts all rows ascending by a column with CompareRows, as a header click does.
    void SortByColumn(int column);

    //! The compare rule: numeric when both texts convert to numbers (in the given locale, or
    //! failing that with a "." separator), otherwise text ignoring the case of A-Z. Keypad
    //! numbers in column 0 always convert. Returns -1, 0 or 1.
    static int CompareRows(const QTreeWidgetItem& a, const QTreeWidgetItem& b, int column,
                           const QLocale& locale = QLocale());
    static int CompareTexts(const QString& a, const QString& b, const QLocale& locale = QLocale());

private:
    bool Placed_ = false;
};

} // namespace kivra
