// The test program's entry point: Qt's widgets and fonts need a QApplication,
// which must exist before any test runs and live until all have finished.
// Without a display the tests use Qt's offscreen platform; the test
// registration sets it as well, and setting it here also covers the run that
// lists the tests at build time.
#include <QApplication>
#include <gtest/gtest.h>

// The leak rules of the sanitized build are compiled in from the folder's
// sanitizer-leaks.supp (qtsanitizerdefaults).
int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    // Icons are asked for at the screen's device pixel ratio, as in the
    // tray program.
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
