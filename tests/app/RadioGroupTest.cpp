// The radio group widget and the application's error handling: the top-level handler and
// message boxes that never stack.

#include "app/RadioGroup.h"
#include "app/Application.h"
#include "core/Exception.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

using namespace kivra;
using namespace std::chrono_literals;

namespace {

// Records message box texts instead of blocking; restores the real boxes afterwards.
struct RecordMessages {
    QStringList texts;
    RecordMessages()
    {
        SetMessageBoxFunction([this](const QString& t) { texts << t; });
    }
    ~RecordMessages() { SetMessageBoxFunction({}); }
};

struct Group {
    TRadioGroup box{QStringLiteral("Info Option")};
    int clicks = 0;
    Group()
    {
        box.resize(145, 64);
        box.SetItems({QStringLiteral("Serial Number"), QStringLiteral("Time Stamp")});
        box.SetOnClick([this] { ++clicks; });
        box.show();
    }
};

// Qt's own frames between notify() and a handler have no unwind cleanups: what they hold when an
// exception passes is lost. That is the price of the last-resort handler, not a fault of ours.
struct IgnoreLeaksOfQtFrames {
#if defined(__SANITIZE_ADDRESS__)
    IgnoreLeaksOfQtFrames()
    {
        __lsan_disable();
    }
    ~IgnoreLeaksOfQtFrames()
    {
        __lsan_enable();
    }
#endif
};

class Thrower : public QWidget {
protected:
    void mousePressEvent(QMouseEvent*) override { throw Exception("thrown from a handler"); }
};

} // namespace

TEST(RadioGroup, ProgramChoiceRunsTheHandlerOncePerChange)
{
    Group g;
    EXPECT_EQ(g.box.ItemIndex(), -1);
    g.box.SetItemIndex(1);
    EXPECT_EQ(g.clicks, 1);
    EXPECT_TRUE(g.box.Button(1)->isChecked());
    g.box.SetItemIndex(1); // the same choice runs nothing
    EXPECT_EQ(g.clicks, 1);
    g.box.SetItemIndex(0);
    EXPECT_EQ(g.clicks, 2);
    EXPECT_TRUE(g.box.Button(0)->isChecked());
    EXPECT_FALSE(g.box.Button(1)->isChecked());
    g.box.SetItemIndex(7); // out of range: no choice
    EXPECT_EQ(g.box.ItemIndex(), -1);
    EXPECT_FALSE(g.box.Button(0)->isChecked());
    EXPECT_EQ(g.clicks, 3);
}

TEST(RadioGroup, ClicksChooseAndReclickingKeepsTheChoice)
{
    Group g;
    g.box.SetItemIndex(0);
    g.clicks = 0;
    QTest::mouseClick(g.box.Button(1), Qt::LeftButton);
    EXPECT_EQ(g.box.ItemIndex(), 1);
    EXPECT_EQ(g.clicks, 1);
    QTest::mouseClick(g.box.Button(1), Qt::LeftButton);
    EXPECT_EQ(g.box.ItemIndex(), 1);
    EXPECT_TRUE(g.box.Button(1)->isChecked());
    EXPECT_FALSE(g.box.Button(0)->isChecked());
    EXPECT_EQ(g.clicks, 1);
}

TEST(RadioGroup, ButtonsAreLaidOutInColumnsInsideTheBox)
{
    TRadioGroup box;
    box.resize(217, 57);
    box.SetItems({QStringLiteral("Keypad"), QStringLiteral("Base")});
    box.SetColumns(2);
    const QRect a = box.Button(0)->geometry();
    const QRect b = box.Button(1)->geometry();
    EXPECT_EQ(a.top(), b.top());
    EXPECT_LT(a.right(), b.left());
    EXPECT_TRUE(box.rect().contains(a));
    EXPECT_TRUE(box.rect().contains(b));
    box.SetColumns(1);
    EXPECT_LT(box.Button(0)->geometry().bottom(), box.Button(1)->geometry().top());
}

TEST(RadioGroup, ItemsBoldIndependentOfTheCaption)
{
    TRadioGroup box;
    QFont bold = box.font();
    bold.setBold(true);
    box.setFont(bold);
    box.SetItems({QStringLiteral("All"), QStringLiteral("Keypads:")});
    EXPECT_FALSE(box.Button(0)->font().bold());
    box.SetItemsBold(true);
    EXPECT_TRUE(box.Button(1)->font().bold());
}

TEST(RadioGroup, ErrorOfAClickGoesToTheCentralHandlerOfAProgramChoiceToTheCaller)
{
    RecordMessages messages;
    InstallMessageBoxExceptionHandler();
    Group g;
    g.box.SetOnClick([] { throw Exception("Base not connected."); });
    QTest::mouseClick(g.box.Button(1), Qt::LeftButton);
    EXPECT_EQ(messages.texts, QStringList{QStringLiteral("Base not connected.")});
    EXPECT_THROW(g.box.SetItemIndex(0), Exception);
}

TEST(Application, ExceptionEscapingAnEventHandlerIsShownAndTheProgramCarriesOn)
{
    [[maybe_unused]] IgnoreLeaksOfQtFrames ignore;
    RecordMessages messages;
    Thrower w;
    w.resize(50, 50);
    w.show();
    QTest::mouseClick(&w, Qt::LeftButton);
    QTest::mouseClick(&w, Qt::LeftButton);
    EXPECT_EQ(messages.texts.size(), 2);
    EXPECT_EQ(messages.texts.value(0), QStringLiteral("thrown from a handler"));
}

TEST(Application, AbortIsSilentAndByteTextsKeepEveryByte)
{
    RecordMessages messages;
    ShowException(EAbort());
    EXPECT_TRUE(messages.texts.isEmpty());
    ShowMessage(std::string("Port \xB0\x01", 7));
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_EQ(messages.texts[0].size(), 7);
    EXPECT_EQ(messages.texts[0].at(5).unicode(), 0xB0);
    EXPECT_EQ(messages.texts[0].at(6).unicode(), 0x01);
}

TEST(Application, MessagesWhileABoxIsOpenGoIntoThatBox)
{
    // Real boxes: the first blocks; three more arrive while it is open.
    int boxesSeen = 0;
    QString textSeen;
    QTimer::singleShot(50, [&] {
        ShowMessage(QStringLiteral("second"));
        ShowMessage(QStringLiteral("third"));
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                ++boxesSeen;
                textSeen = box->text();
                box->accept();
            }
    });
    ShowMessage(QStringLiteral("first"));
    EXPECT_EQ(boxesSeen, 1);
    EXPECT_TRUE(textSeen.contains(QStringLiteral("first")));
    EXPECT_TRUE(textSeen.contains(QStringLiteral("second")));
    EXPECT_TRUE(textSeen.contains(QStringLiteral("third")));

    // A flood is counted, not listed without end.
    int shownLines = 0;
    QTimer::singleShot(50, [&] {
        for (int i = 0; i < 100; ++i)
            ShowMessage(QStringLiteral("Connection noise %1").arg(i));
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                shownLines = static_cast<int>(box->text().count(QStringLiteral("Connection noise")));
                textSeen = box->text();
                box->accept();
            }
    });
    ShowMessage(QStringLiteral("first"));
    EXPECT_LT(shownLines, 20);
    EXPECT_TRUE(textSeen.contains(QStringLiteral("further messages not shown")));

    // After the box closed, the next message opens a new one.
    bool opened = false;
    QTimer::singleShot(50, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                opened = box->text() == QStringLiteral("alone");
                box->accept();
            }
    });
    ShowMessage(QStringLiteral("alone"));
    EXPECT_TRUE(opened);
}
