// The sanitized builds of the tray program: what Qt and the libraries under it
// do that the sanitizers would report as this program's faults.
//
// LeakSanitizer: Qt's D-Bus connection (which the X platform opens to look
// for a desktop tray service) leaves one buffer of libdbus behind at exit.
// Qt's GLX integration has Mesa's GLX library (libGLX_mesa) load the DRI
// driver (swrast_dri.so under Xvfb), which on some processors keeps memory
// it never frees (128 bytes from realloc; Mesa's processor detection keeps a
// table of the L3 caches on AMD's recent ones); the driver is unloaded when
// Qt closes the display, before the leak check, so the report names no
// module for its frames. The library that loaded it, and called it, is still
// there: leaks whose stack passes through it are Mesa's. Qt and Mesa carry no
// frame pointers, so allocation stacks are unwound the slow way for the rules
// to see those callers (the environment's ASAN_OPTIONS can still override).
// Without a sanitizer none of these functions is called.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libdbus-1.so.3\n"
           "leak:libGLX_mesa.so.0\n";
}

extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

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
