/* Lists the Windows process ids of one test under Wine.
 *
 *   zarn_tagged_processes.exe NAME=VALUE
 *
 * scripts/wine-run.sh gives every test it starts an environment entry of its
 * own, which the processes that test starts inherit. Every test of a run
 * shares one Wine server, so this is how the run finds the processes of one
 * stalled test, and of no other, to dump their threads' stacks: it prints,
 * one a line in hexadecimal (as the debugger takes them), the id of every
 * other process whose environment holds the entry. Processes that cannot be
 * opened or read (the system's own, one that is ending) are skipped. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

typedef NTSTATUS(NTAPI* QueryProcessFn)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);

/* Offset of the environment pointer in the 64-bit process parameters. */
enum { kEnvironmentOffset = 0x80 };
/* Environments larger than this are not searched beyond it. */
enum { kMostChars = 1 << 20 };

static int readAt(HANDLE process, ULONG_PTR address, void* out, SIZE_T size) {
    SIZE_T got = 0;
    return ReadProcessMemory(process, (LPCVOID)address, out, size, &got) && got == size;
}

/* Whether the process's environment block holds the entry exactly. */
static int holdsEntry(HANDLE process, QueryProcessFn query, const wchar_t* entry) {
    PROCESS_BASIC_INFORMATION basic;
    ULONG length = 0;
    if (query(process, ProcessBasicInformation, &basic, sizeof basic, &length) != 0) return 0;
    ULONG_PTR parameters = 0;
    ULONG_PTR environment = 0;
    /* ProcessParameters sits at 0x20 in the 64-bit process environment block. */
    if (!readAt(process, (ULONG_PTR)basic.PebBaseAddress + 0x20, &parameters, sizeof parameters)) return 0;
    if (!readAt(process, parameters + kEnvironmentOffset, &environment, sizeof environment)) return 0;

    /* Entries are NUL-terminated and the block ends with an empty one; it is
     * read up to one page boundary at a time, since its size is not recorded
     * everywhere and the page after it need not be readable. */
    wchar_t* block = malloc(sizeof(wchar_t) * (kMostChars + 2048));
    if (block == NULL) return 0;
    size_t have = 0;
    int found = 0;
    int ended = 0;
    while (!ended && have < kMostChars) {
        const ULONG_PTR at = environment + have * sizeof(wchar_t);
        const size_t bytes = 4096 - at % 4096;
        if (!readAt(process, at, block + have, bytes)) break;
        const size_t before = have;
        have += bytes / sizeof(wchar_t);
        for (size_t i = before > 0 ? before : 1; i < have && !ended; ++i) ended = block[i] == L'\0' && block[i - 1] == L'\0';
    }
    block[have] = L'\0';
    for (size_t at = 0; at < have && block[at] != L'\0'; at += wcslen(block + at) + 1) {
        if (wcscmp(block + at, entry) == 0) {
            found = 1;
            break;
        }
    }
    free(block);
    return found;
}

int main(int argc, char** argv) {
    wchar_t entry[512];
    if (argc != 2 || strchr(argv[1], '=') == NULL ||
        MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, entry, sizeof entry / sizeof entry[0]) == 0) {
        fputs("usage: zarn_tagged_processes.exe NAME=VALUE\n", stderr);
        return 2;
    }
    QueryProcessFn query = (QueryProcessFn)(void*)GetProcAddress(GetModuleHandleA("ntdll"),
                                                                 "NtQueryInformationProcess");
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (query == NULL || snapshot == INVALID_HANDLE_VALUE) return 1;
    PROCESSENTRY32W found;
    found.dwSize = sizeof found;
    for (BOOL more = Process32FirstW(snapshot, &found); more; more = Process32NextW(snapshot, &found)) {
        if (found.th32ProcessID == GetCurrentProcessId()) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, found.th32ProcessID);
        if (process == NULL) continue;
        if (holdsEntry(process, query, entry)) printf("%08lx\n", (unsigned long)found.th32ProcessID);
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return 0;
}
