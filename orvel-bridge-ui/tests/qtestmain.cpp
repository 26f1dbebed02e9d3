// The test program's entry point: Qt's widgets and fonts need a QApplication,
// which must exist before any test runs and live until all have finished.
// Without a display the tests use Qt's offscreen platform; the test
// registration sets it as well, and setting it here also covers the run that
// lists the tests at build time.
#include <QApplication>
#include <gtest/gtest.h>

// LeakSanitizer (in the address-sanitized build) reports the objects Qt's
// offscreen platform plugin makes for its screen and cursor when the
// application starts and never frees; they are Qt's, not this project's.
// They are suppressed here, compiled into the program, so that the rule also
// holds for the run that lists the tests at build time, which gets no test
// environment. The frames below the plugin carry no frame pointers, so leak
// stacks are unwound the slow way for the suppression to see the caller
// (the environment's ASAN_OPTIONS can still override). Without the sanitizer
// these functions are never called.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:QGuiApplicationPrivate::createPlatformIntegration\n";
}

extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
