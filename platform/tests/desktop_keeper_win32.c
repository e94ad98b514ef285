/* Holds Wine's desktop open for a whole test run.
 *
 * Under Wine the desktop window belongs to a process of its own, started by
 * the first process that needs the desktop, with that process's standard
 * error as its own; it ends a second after the desktop's last other user.
 * A test process that started it would keep CTest's pipe open long after the
 * test ended, and a desktop started afresh under load makes some test's
 * first window wait for it. So the Windows test run starts this first: it
 * starts the desktop with its own standard error, says so on standard
 * output, and stays a user of the desktop until the run's end kills it. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int main(void) {
    if (GetDesktopWindow() == NULL) return 1;
    static const char ready[] = "desktop ready\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), ready, sizeof ready - 1, &written, NULL);
    for (;;) Sleep(INFINITE);
}
