// A call that holds the user-interface thread: windows keep painting, input is dropped, and
// everything is back to normal afterwards, also when the call fails.

#include "app/BlockingCall.h"
#include "core/Exception.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using kivra::TBlockingCall;

namespace {

class BlockingCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        button.resize(80, 30);
        button.show();
        QObject::connect(&button, &QPushButton::clicked, [this] { ++clicks; });
    }

    QPushButton button;
    int clicks = 0;
};

TEST_F(BlockingCall, InputDuringTheCallIsDroppedAndTakenAgainAfterIt)
{
    TBlockingCall call;
    bool running = false;
    bool waitCursor = false;
    int paused = 0;
    call.Run([&] {
        running = call.Running();
        waitCursor = QApplication::overrideCursor() != nullptr &&
                     QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        QTimer::singleShot(0, &button, [&] { QTest::mouseClick(&button, Qt::LeftButton); });
        QTimer::singleShot(10, &button, [&] { ++paused; }); // timers keep running during pauses
        TBlockingCall::Pause(100);
    });
    EXPECT_TRUE(running);
    EXPECT_TRUE(waitCursor);
    EXPECT_EQ(paused, 1);
    EXPECT_EQ(clicks, 0);
    EXPECT_FALSE(call.Running());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
}

TEST_F(BlockingCall, AFailingCallPassesItsErrorOnAndRestoresEverything)
{
    TBlockingCall call;
    EXPECT_THROW(call.Run([] { throw kivra::Exception("no base"); }), kivra::Exception);
    EXPECT_FALSE(call.Running());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
}

} // namespace
