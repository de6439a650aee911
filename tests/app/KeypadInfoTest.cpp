// The keypad information window: timestamp texts, the compare rule and header-click sorting.

#include "app/frmKeypadInfo.h"

#include <QHeaderView>
#include <QPointer>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

using kivra::FormatTimestampSeconds;
using kivra::TfrmKeypadInfo;

namespace {

struct TimestampCase {
    int Ms;
    const char* Expected;
};

TEST(TimestampText, FourSignificantDigitsThreeDecimals)
{
    const TimestampCase cases[] = {
        {1500, "1.500"},         {3456, "3.456"},        {500, "0.500"},
        {12345, "12.350"},       {0, "0.000"},           {1, "0.001"},
        {99999, "100.000"},      {123456, "123.500"},    {1234567, "1235.000"}, // no group separator
        {9999499, "9999.000"},   {9999500, "1.000E+04"}, {10000000, "1.000E+04"},
        {87654321, "8.765E+04"}, {-1500, "-1.500"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatTimestampSeconds(c.Ms, QLocale::c()).toStdString(), c.Expected) << c.Ms << " ms";
}

TEST(TimestampText, UsesTheLocaleDecimalSeparator)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(FormatTimestampSeconds(1500, german).toStdString(), "1,500");
    EXPECT_EQ(FormatTimestampSeconds(1234567, german).toStdString(), "1235,000");
}

struct CompareCase {
    const char* A;
    const char* B;
    int Expected;
};

TEST(CompareRule, NumbersNumericallyOtherwiseTextIgnoringCase)
{
    const CompareCase cases[] = {
        {"9", "10", -1},  {"10", "9", 1},           {"10", "10.0", 0}, {"2.5", "12.35", -1},
        {" 7", "7", 0},   {"abc", "ABD", -1},       {"ABC", "abc", 0}, {"Zeta", "alpha", 1},
        {"10", "9A", -1}, {"0A1B2C", "0a1b2d", -1}, {"", "1", -1},     {"inf", "5", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            TfrmKeypadInfo::CompareTexts(QString::fromLatin1(c.A), QString::fromLatin1(c.B), QLocale::c()),
            c.Expected)
            << c.A << " vs " << c.B;
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(TfrmKeypadInfo::CompareTexts(QStringLiteral("12,350"), QStringLiteral("3,456"), german), 1);
    // A version text is never read as a thousands group.
    EXPECT_EQ(TfrmKeypadInfo::CompareTexts(QStringLiteral("1.500"), QStringLiteral("2"), german), -1);
}

class KeypadInfoWindow : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale::c()); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }

    QStringList Column(int column) const
    {
        QStringList texts;
        for (int r = 0; r < Window.RowCount(); ++r)
            texts << Window.CellText(r, column);
        return texts;
    }
    void ClickHeader(int column)
    {
        QHeaderView* header = Window.lstKeypadInfo->header();
        const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    }

    TfrmKeypadInfo Window;
};

TEST_F(KeypadInfoWindow, StartsHiddenWithItsCaptionsAndSize)
{
    EXPECT_TRUE(Window.isHidden());
    EXPECT_EQ(Window.windowTitle(), QStringLiteral("Keypad Information"));
    EXPECT_TRUE(Window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    auto* header = Window.lstKeypadInfo->headerItem();
    EXPECT_EQ(header->text(0), QStringLiteral("KeypadID"));
    EXPECT_EQ(header->text(1), QStringLiteral("TimeStamp"));
    EXPECT_EQ(Window.minimumWidth(), Window.maximumWidth()); // width held
    EXPECT_LT(Window.minimumHeight(), Window.height());
    EXPECT_EQ(Window.lstKeypadInfo->editTriggers(), QAbstractItemView::NoEditTriggers);
}

TEST_F(KeypadInfoWindow, InfoColumnsFollowTheMode)
{
    Window.SetInfoColumns(true);
    auto* header = Window.lstKeypadInfo->headerItem();
    EXPECT_EQ(header->text(0), QStringLiteral("Keypad ID"));
    EXPECT_EQ(header->text(1), QStringLiteral("Time Stamp"));
    EXPECT_EQ(header->text(2), QStringLiteral("Keypad Version"));
    EXPECT_EQ(header->text(3), QStringLiteral("Battery Level"));
    Window.SetInfoColumns(false);
    EXPECT_EQ(header->text(1), QStringLiteral("Serial Number"));
}

TEST_F(KeypadInfoWindow, HeaderClickSortsAscendingAndNewRowsGoToTheBottom)
{
    Window.AddRow("12", {"B7C", "1.0", "10"});
    Window.AddRow("3", {"a7c", "1.1", "9"});
    Window.AddRow("250", {"0FF", "1.2", "11"});
    Window.show();

    ClickHeader(3);
    EXPECT_EQ(Window.SortColumn, 3);
    EXPECT_EQ(Column(3), (QStringList{"9", "10", "11"}));

    ClickHeader(0);
    EXPECT_EQ(Column(0), (QStringList{"3", "12", "250"}));
    ClickHeader(0); // the same column again: still ascending
    EXPECT_EQ(Column(0), (QStringList{"3", "12", "250"}));

    ClickHeader(1); // serial numbers that are not numbers: text order, case ignored
    EXPECT_EQ(Column(1), (QStringList{"0FF", "a7c", "B7C"}));

    Window.AddRow("1", {"000", "1.0", "1"});
    EXPECT_EQ(Window.CellText(3, 0), QStringLiteral("1"));
    EXPECT_EQ(Window.RowCount(), 4);
    Window.ClearRows();
    EXPECT_EQ(Window.RowCount(), 0);
}

TEST_F(KeypadInfoWindow, CloseHidesAndShowOverCentresOnlyOnce)
{
    QWidget main;
    main.setGeometry(100, 100, 730, 554);
    main.show();
    Window.ShowOver(&main);
    EXPECT_TRUE(Window.isVisible());
    const QPoint offset = Window.frameGeometry().center() - main.frameGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 8); // the frame is unknown until first shown

    QPointer<TfrmKeypadInfo> alive(&Window);
    EXPECT_TRUE(Window.close());
    EXPECT_FALSE(Window.isVisible());
    EXPECT_FALSE(alive.isNull());

    Window.move(5, 5);
    main.move(300, 200);
    Window.ShowOver(&main);
    EXPECT_EQ(Window.pos(), QPoint(5, 5)); // placed by the user after the first showing
}

} // namespace
