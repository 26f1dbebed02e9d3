// The test program's entry point: Qt's widgets and fonts need a QApplication,
// which must exist before any test runs and live until all have finished.
// Without a display the tests use Qt's offscreen platform; the test
// registration sets it as well, and setting it here also covers the run that
// lists the tests at build time.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
