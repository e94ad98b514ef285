// Where the process looks for the libraries it loads by name.
#include "platform/platform.h"

#ifdef _WIN32

#include <windows.h>

// Without this, a library that is not on the system's known list (one the
// program or a library it uses loads by name) is first looked for in the
// program's own folder: a file of that name planted beside a downloaded
// program would run with the user's rights.
bool PLAT_loadLibrariesFromSystemFolderOnly() {
    return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

#else

// Shared objects come from the loader's own search path; the program loads
// none by name.
bool PLAT_loadLibrariesFromSystemFolderOnly() { return true; }

#endif
