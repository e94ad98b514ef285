// The Win32 type and record widths that the USB access layer and its records
// are laid out on. The Linux stand-ins declare the same widths themselves;
// here the platform's own headers are held to them at compile time.
#include "platform/platform.h"

#ifdef _WIN32

#include <windows.h>

#include <cstddef>

static_assert(sizeof(DWORD) == 4, "DWORD is 32-bit");
static_assert(sizeof(ULONG) == 4, "ULONG is 32-bit, even on 64-bit Windows");
static_assert(sizeof(LONG) == 4, "LONG is 32-bit, even on 64-bit Windows");
static_assert(sizeof(USHORT) == 2 && sizeof(UCHAR) == 1, "USHORT and UCHAR");
static_assert(sizeof(BOOL) == 4, "BOOL is a 32-bit int");
static_assert(sizeof(void*) == 8, "64-bit pointers");
static_assert(sizeof(HANDLE) == 8, "HANDLE is pointer-sized");
static_assert(sizeof(ULONG_PTR) == 8 && sizeof(SIZE_T) == 8, "pointer-sized integers");
static_assert(sizeof(OVERLAPPED) == 32, "OVERLAPPED is 32 bytes");
static_assert(offsetof(OVERLAPPED, hEvent) == 24, "the event handle closes OVERLAPPED");

#endif
