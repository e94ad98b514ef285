/* Dies of an access violation in a thread of its own after printing
 * GoogleTest's closing line, as a test that crashes while its process ends
 * would. The Windows test run must count that as a failure: the process's
 * status is the exception's code, 0xc0000005, whose low byte is 5. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>

static volatile int* nowhere;

static DWORD WINAPI fault(LPVOID unused) {
    (void)unused;
    *nowhere = 1;
    return 0;
}

int main(void) {
    printf("[  PASSED  ] 1 test.\n");
    fflush(stdout);
    HANDLE thread = CreateThread(NULL, 0, fault, NULL, 0, NULL);
    if (thread == NULL) return 2;
    WaitForSingleObject(thread, INFINITE);
    return 0;
}
