// The keypad grid without a base: cell placement and text, colours read back from the rendered
// grid, the counter, and the keypad range text that builds the defined group.

#include "app/Application.h"
#include "app/frmKeypadInfo.h"
#include "app/frmKivraUtil.h"
#include "tests/support/TestSupport.h"
#include "ui_frmKivraUtil.h"

#include <QComboBox>
#include <QLineEdit>
#include <QScreen>
#include <gtest/gtest.h>

using namespace kivra;

namespace {

class Grid : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetMessageBoxFunction([this](const QString& t) { messages << t; });
        w = std::make_unique<TfrmKivraUtil>();
        w->SetForms(&info, nullptr, nullptr);
        w->show();
    }
    void TearDown() override
    {
        w.reset();
        SetMessageBoxFunction({});
    }
    // Colour in the right part of keypad n's cell, clear of its text.
    QColor CellColour(int n)
    {
        TKeypadGrid* g = w->ui->StringGrid1;
        const QRect r = g->CellRect((n - 1) / kGridRows, (n - 1) % kGridRows);
        return g->grab().toImage().pixelColor(r.left() + 60, r.top() + 7);
    }
    // Colour as last painted on the screen (only what a repaint has drawn shows there).
    QColor ScreenColour(int n)
    {
        test::ProcessEventsFor(std::chrono::milliseconds(50));
        TKeypadGrid* g = w->ui->StringGrid1;
        const QRect r = g->CellRect((n - 1) / kGridRows, (n - 1) % kGridRows);
        const QPoint p = g->mapTo(w.get(), QPoint(r.left() + 60, r.top() + 7));
        return w->screen()->grabWindow(w->winId()).toImage().pixelColor(p);
    }
    QString CellText(int n) { return w->ui->StringGrid1->Cell((n - 1) / kGridRows, (n - 1) % kGridRows); }
    void DefineGroup(const QString& text)
    {
        w->ui->cboKeypads->setEditText(text);
        w->FillActiveKeypadArray();
        w->tmrConnectTimer();
    }

    QStringList messages;
    TfrmKeypadInfo info;
    std::unique_ptr<TfrmKivraUtil> w;
};

} // namespace

TEST_F(Grid, CellsRunDownTheColumnsWithTheirLabels)
{
    EXPECT_EQ(CellText(1), QStringLiteral("  1: "));
    EXPECT_EQ(w->ui->StringGrid1->Cell(1, 0), QStringLiteral(" 26: "));
    EXPECT_EQ(w->ui->StringGrid1->Cell(9, 24), QStringLiteral("250: "));
    EXPECT_EQ(w->ui->StringGrid1->CellRect(1, 0).size(), QSize(70, 14));
    EXPECT_EQ(w->ui->StringGrid1->CellRect(1, 0).left() - w->ui->StringGrid1->CellRect(0, 0).left(), 70);
    EXPECT_EQ(w->ui->StringGrid1->CellRect(0, 1).top() - w->ui->StringGrid1->CellRect(0, 0).top(), 14);

    w->KivraOCXKeypadDataReceived(1, 4);
    w->KivraOCXSoftkeyDataReceived(26, "<");
    w->KivraOCXKeypadNotification(250);
    EXPECT_EQ(CellText(1), QStringLiteral("  1: 4"));
    EXPECT_EQ(w->ui->StringGrid1->Cell(1, 0), QStringLiteral(" 26: <"));
    EXPECT_EQ(w->ui->StringGrid1->Cell(9, 24), QStringLiteral("250: A"));
    EXPECT_TRUE(w->GridChanged);
    w->btnClearClick();
    EXPECT_EQ(CellText(1), QStringLiteral("  1:  "));
}

TEST_F(Grid, AnsweredCellsAreLimeWithAWhiteOutline)
{
    EXPECT_EQ(CellColour(26), QColor(Qt::white));
    w->KivraOCXKeypadDataReceived(26, 4);
    w->KivraOCXKeypadDataReceived(1, 2);
    EXPECT_EQ(CellColour(26), QColor(0, 255, 0));
    EXPECT_EQ(CellColour(1), QColor(0, 255, 0));
    EXPECT_EQ(CellColour(2), QColor(Qt::white));
    // The one-pixel white line between the two lime cells.
    TKeypadGrid* g = w->ui->StringGrid1;
    const QImage img = g->grab().toImage();
    const QRect c26 = g->CellRect(1, 0);
    EXPECT_EQ(img.pixelColor(c26.left() - 1, c26.top() + 7), QColor(Qt::white));
    EXPECT_EQ(img.pixelColor(c26.left() - 2, c26.top() + 7), QColor(0, 255, 0));
    EXPECT_EQ(img.pixelColor(c26.left() + 1, c26.top() + 7), QColor(0, 255, 0));
    // Text is drawn in black from the cell's left edge.
    bool black = false;
    for (int x = c26.left(); x < c26.left() + 40; ++x)
        for (int y = c26.top(); y < c26.bottom(); ++y)
            black |= img.pixelColor(x, y) == QColor(Qt::black);
    EXPECT_TRUE(black);
}

TEST_F(Grid, CounterCountsGroupMembersThatAnswered)
{
    EXPECT_EQ(w->CounterText(), QStringLiteral("0 keypads of 250"));
    w->KivraOCXKeypadDataReceived(3, 1);
    EXPECT_EQ(w->CounterText(), QStringLiteral("1 keypad of 250"));
    w->KivraOCXKeypadDataReceived(3, 2); // the same keypad again
    EXPECT_EQ(w->CounterText(), QStringLiteral("1 keypad of 250"));
    w->KivraOCXKeypadDataReceived(9, 2);
    EXPECT_EQ(w->CounterText(), QStringLiteral("2 keypads of 250"));
    w->btnClearClick();
    EXPECT_EQ(w->CounterText(), QStringLiteral("0 keypads of 250"));
    EXPECT_EQ(w->RespondingCount, 0);
}

TEST_F(Grid, LowBatteryShowsYellowOnlyAtTheNextWholeRepaint)
{
    w->KivraOCXKeypadDataReceived(5, 1);
    w->tmrConnectTimer();
    EXPECT_EQ(ScreenColour(5), QColor(0, 255, 0));
    w->KivraOCXLowBatteryWarning(5);
    EXPECT_FALSE(w->GridChanged);
    EXPECT_EQ(w->CounterText(), QStringLiteral("1 keypad of 250"));
    EXPECT_EQ(CellText(5), QStringLiteral("  5: 1"));
    EXPECT_EQ(ScreenColour(5), QColor(0, 255, 0)); // not repainted yet
    w->KivraOCXKeypadDataReceived(7, 1);           // any response: whole-grid repaint due
    EXPECT_EQ(ScreenColour(7), QColor(0, 255, 0)); // the answering cell at once
    EXPECT_EQ(ScreenColour(5), QColor(0, 255, 0));
    w->tmrConnectTimer();
    EXPECT_EQ(ScreenColour(5), QColor(255, 255, 0));
    w->KivraOCXKeypadDataReceived(5, 3);
    EXPECT_EQ(ScreenColour(5), QColor(0, 255, 0));
}

TEST_F(Grid, DefinedGroupGreysOthersAndMarksAnswersOutsideIt)
{
    DefineGroup(QStringLiteral("1-10"));
    EXPECT_EQ(w->ActiveKeypadCount, 10);
    EXPECT_EQ(CellColour(11), QColor(206, 206, 206));
    EXPECT_EQ(CellColour(10), QColor(Qt::white));
    w->KivraOCXKeypadDataReceived(12, 1);
    EXPECT_EQ(CellColour(12), QColor(255, 74, 74));
    EXPECT_EQ(w->CounterText(), QStringLiteral("0 keypads of 10"));
    w->KivraOCXKeypadDataReceived(3, 1);
    EXPECT_EQ(w->CounterText(), QStringLiteral("1 keypad of 10"));
    // Outside the group a low battery stays grey.
    w->KivraOCXLowBatteryWarning(20);
    w->tmrConnectTimer();
    EXPECT_EQ(CellColour(20), QColor(206, 206, 206));
    // Clear Grid keeps the group.
    w->btnClearClick();
    EXPECT_EQ(CellColour(11), QColor(206, 206, 206));
    EXPECT_EQ(CellColour(12), QColor(206, 206, 206));
}

TEST_F(Grid, NotConnectedActionsSayWhy)
{
    w->btnAddKeypadClick();
    w->btnKeyPadInfoClick();
    w->btnCndCommandsClick();
    w->ui->lboChannel->setCurrentIndex(4);
    w->lboChannelChange();
    EXPECT_EQ(
        messages,
        (QStringList{QStringLiteral("Base is not connected!"), QStringLiteral("Base not connected."),
                     QStringLiteral("Base is not connected."), QStringLiteral(" Base is not connected. ")}));
    EXPECT_EQ(w->ui->lboChannel->currentIndex(), -1);
    EXPECT_FALSE(info.isVisible());
    // Info... set the columns and emptied the list before refusing.
    EXPECT_EQ(info.RowCount(), 0);
}
