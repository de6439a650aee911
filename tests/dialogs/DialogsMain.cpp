#include "tests/support/TestSupport.h"

#include <QApplication>
#include <gtest/gtest.h>

// Window tests: a QApplication (run offscreen) and a private port directory per process.
int main(int argc, char** argv)
{
    kivra::test::UsePrivatePortDirectory();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
