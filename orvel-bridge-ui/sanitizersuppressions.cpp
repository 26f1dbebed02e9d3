// The thread-sanitized build of the tray program: what Qt and the libraries
// under it do that the sanitizer would report as this program's faults.
//
// The leak rules and the address sanitizer's options are the folder's
// (sanitizer-leaks.supp, compiled in through qtsanitizerdefaults).
//
// ThreadSanitizer builds only. Qt and the X libraries
// are not instrumented. Under X, Qt runs threads of its own (the X event
// reader "QXcbEventQueue", the D-Bus connection thread "QDBusConnection")
// that hand strings, events and wake-ups to the user-interface thread through
// Qt's futex-based mutexes and atomics and GLib's eventfd, none of which the
// sanitizer sees; each such hand-over would be reported as a race.
// `called_from_lib` makes the sanitizer ignore the memory and descriptor calls
// (malloc, free, memcmp, read, write) these libraries make themselves.
// Xlib's display lock is taken in libX11 and, through its macros, released
// in the extension libraries (or destroyed while libxcb, ignored above, still
// counts it as held); `mutex:` drops those reports of mutex misuse.
//
// The program's own code stays checked: its threads (the service's, the
// logging threads) hand over to the user-interface thread through std::mutex
// and an atomic counter, which the sanitizer sees, and the offscreen test of
// the application, where Qt starts no threads, runs without these lines.
#if defined(__SANITIZE_THREAD__)
extern "C" const char *__tsan_default_suppressions()
{
    return "called_from_lib:libQt5Core.so.5\n"
           "called_from_lib:libQt5Gui.so.5\n"
           "called_from_lib:libQt5XcbQpa.so.5\n"
           "called_from_lib:libQt5DBus.so.5\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libxcb.so.1\n"
           "mutex:libX11.so.6\n"
           "mutex:libGLX_mesa.so.0\n";
}
#endif
