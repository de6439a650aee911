// main() of the window tests: a QApplication with the utility's font, a private port directory,
// and message boxes installed as the central exception handler.
#include "app/Application.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    kivra::test::UsePrivatePortDirectory();
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    kivra::TApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
