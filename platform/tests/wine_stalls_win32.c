/* What scripts/wine-stall-dump.sh needs to leave behind why a test under
 * Wine stalls:
 *
 *   zarn_wine_stalls.exe find NAME=VALUE
 *   zarn_wine_stalls.exe stacks PID
 *   zarn_wine_stalls.exe stall
 *
 * find: scripts/wine-run.sh gives every test it starts an environment entry
 * of its own, which the processes that test starts inherit. Every test of a
 * run shares one Wine server, so this is how the run finds the processes of
 * one stalled test and of no other: it prints, one a line in hexadecimal,
 * the id of every other process whose environment holds the entry.
 * Processes that cannot be opened or read (one that is ending) are skipped.
 *
 * stacks: every thread's stack of process PID (hexadecimal), one frame a
 * line as "  N 0xADDRESS in MODULE (+0xOFFSET)". A debugger cannot do this
 * for every stall: attaching starts a thread in the process, which waits for
 * the loader lock when a stalled thread holds it, so the attach never ends,
 * and a debugger that is then ended takes the process with it. Here each
 * thread is only suspended for the time its context is read and its stack
 * walked with the unwind tables of the process's modules, then resumed.
 *
 * stall: takes the loader lock and never ends, as a process whose thread
 * never leaves a library's start; the dump's own test stalls so. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <dbghelp.h>
#include <psapi.h>
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

static int findTagged(const char* tag) {
    wchar_t entry[512];
    if (strchr(tag, '=') == NULL || MultiByteToWideChar(CP_UTF8, 0, tag, -1, entry, 512) == 0) return 2;
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

/* The module's file name without its extension, as the debugger names it. */
static void moduleName(HANDLE process, DWORD64 base, char* name, DWORD size) {
    if (base == 0 || GetModuleBaseNameA(process, (HMODULE)(ULONG_PTR)base, name, size) == 0) {
        snprintf(name, size, "?");
        return;
    }
    char* dot = strrchr(name, '.');
    if (dot != NULL) *dot = '\0';
}

static void walkThread(HANDLE process, DWORD tid) {
    printf("---- thread %08lx\n", (unsigned long)tid);
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, tid);
    if (thread == NULL) {
        printf("  cannot open it (error %lu)\n", GetLastError());
        return;
    }
    if (SuspendThread(thread) == (DWORD)-1) {
        printf("  cannot suspend it (error %lu)\n", GetLastError());
        CloseHandle(thread);
        return;
    }
    CONTEXT context;
    memset(&context, 0, sizeof context);
    context.ContextFlags = CONTEXT_FULL;
    if (!GetThreadContext(thread, &context)) {
        printf("  cannot read its context (error %lu)\n", GetLastError());
    } else {
        STACKFRAME64 frame;
        memset(&frame, 0, sizeof frame);
        frame.AddrPC.Offset = context.Rip;
        frame.AddrPC.Mode = AddrModeFlat;
        frame.AddrStack.Offset = context.Rsp;
        frame.AddrStack.Mode = AddrModeFlat;
        frame.AddrFrame.Offset = context.Rbp;
        frame.AddrFrame.Mode = AddrModeFlat;
        for (int n = 0; n < 64; ++n) {
            if (!StackWalk64(IMAGE_FILE_MACHINE_AMD64, process, thread, &frame, &context, NULL,
                             SymFunctionTableAccess64, SymGetModuleBase64, NULL) ||
                frame.AddrPC.Offset == 0) {
                break;
            }
            const DWORD64 pc = frame.AddrPC.Offset;
            const DWORD64 base = SymGetModuleBase64(process, pc);
            char name[MAX_PATH];
            moduleName(process, base, name, sizeof name);
            /* A return address points behind its call: naming pc - 1 keeps
             * the line that of the call. */
            const DWORD64 at = n == 0 ? pc : pc - 1;
            printf("  %d 0x%016llx in %s (+0x%llx)\n", n, (unsigned long long)pc, name,
                   (unsigned long long)(base != 0 ? at - base : at));
        }
    }
    ResumeThread(thread);
    CloseHandle(thread);
}

static int dumpStacks(const char* pidText) {
    const DWORD pid = (DWORD)strtoul(pidText, NULL, 16);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    /* Only the unwind tables are needed: no module's symbols are read. */
    SymSetOptions(SymGetOptions() | SYMOPT_DEFERRED_LOADS);
    if (process == NULL || !SymInitialize(process, NULL, TRUE)) {
        printf("cannot open process %08lx (error %lu)\n", (unsigned long)pid, GetLastError());
        return 1;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == pid) walkThread(process, entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    SymCleanup(process);
    CloseHandle(process);
    return 0;
}

typedef NTSTATUS(NTAPI* LockLoaderFn)(ULONG, ULONG*, ULONG_PTR*);

static int stallHoldingTheLoaderLock(void) {
    LockLoaderFn lock = (LockLoaderFn)(void*)GetProcAddress(GetModuleHandleA("ntdll"), "LdrLockLoaderLock");
    ULONG_PTR cookie = 0;
    if (lock == NULL || lock(0, NULL, &cookie) != 0) return 1;
    puts("stalled");
    fflush(stdout);
    for (;;) Sleep(INFINITE);
}

int main(int argc, char** argv) {
    int result = 2;
    if (argc == 2 && strcmp(argv[1], "stall") == 0) result = stallHoldingTheLoaderLock();
    if (argc == 3 && strcmp(argv[1], "find") == 0) result = findTagged(argv[2]);
    if (argc == 3 && strcmp(argv[1], "stacks") == 0) result = dumpStacks(argv[2]);
    if (result == 2) fputs("usage: zarn_wine_stalls.exe find NAME=VALUE | stacks PID | stall\n", stderr);
    return result;
}
