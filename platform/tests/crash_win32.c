/* Prints GoogleTest's closing line, then a thread of its own dies of an
 * access violation, as in a test that crashes while its process ends. Its
 * status must be the exception's code, 0xc0000005, whose low byte is 5. */
#include <windows.h>

#include <stdio.h>

static volatile int* nowhere;

static DWORD WINAPI fault(LPVOID unused) { return *nowhere = (int)(INT_PTR)unused; }

int main(void) {
    printf("[  PASSED  ] 1 test.\n");
    fflush(stdout);
    WaitForSingleObject(CreateThread(NULL, 0, fault, NULL, 0, NULL), INFINITE);
    return 0;
}
