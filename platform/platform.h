// Small portable differences between Windows and Linux. Everything above this
// folder is the same source on both systems; #ifdef _WIN32 lives here only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// High-resolution performance counter and its frequency (ticks per second).
int64_t PLAT_perfCounter();
int64_t PLAT_perfFrequency();
// Wall clock as 100-ns ticks since 1970-01-01 UTC.
int64_t PLAT_systemTime100ns();
// Local calendar time of a time in seconds since 1970 (false when it cannot be converted).
bool PLAT_localTime(int64_t seconds, struct tm* out);

// Paths and texts given to and returned by these functions are UTF-8 on
// every system: on Windows each call converts them to the wide form of the
// system's functions, so that a user folder holds any character, not only
// those of the ANSI code page.

// "\\" on Windows, "/" elsewhere.
const char* PLAT_pathSeparator();

// Debugger: attached or not, and its output channel.
bool PLAT_isDebuggerPresent();
void PLAT_outputDebugString(const char* text);

// The user's local application-data folder (Windows: the LocalAppData known
// folder; Linux: $XDG_DATA_HOME, else ~/.local/share). False when unknown.
bool PLAT_getLocalAppDataFolder(std::string* folder);
// Creates a folder; an existing folder is fine. False on failure.
bool PLAT_createFolder(const std::string& folder);

struct PLAT_fileEntry {
    std::string name;        // file name without folder
    uint64_t lastWriteTime;  // comparable within one search; larger is newer
};
// Files of a folder whose names match a pattern of the form "*.ext".
// False when the folder cannot be searched; an empty result is not an error.
bool PLAT_findFiles(const std::string& folder, const char* pattern, std::vector<PLAT_fileEntry>* out);
// std::fopen of a UTF-8 path (Windows: _wfopen).
std::FILE* PLAT_openFile(const std::string& path, const char* mode);

// Libraries that the process loads by name come from the system folder only,
// never from the program's own folder or the current one (Windows; elsewhere
// nothing to do). Called first thing in main. False when the system refuses.
bool PLAT_loadLibrariesFromSystemFolderOnly();
