#include "tests/support/TestSupport.h"

#include <QApplication>
#include <gtest/gtest.h>

// Window tests: a QApplication (run offscreen) and a private port directory per process.
int main(int argc, char** argv)
{
    kivra::test::UsePrivatePortDirectory();
    // Offscreen unless asked otherwise, also when the test list is read at build time.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
