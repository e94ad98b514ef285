// The user's local application-data folder, folder creation and the file
// search that the logger's file sink uses to rotate its log files.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32

#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include "platform/wide_text.h"

#if defined(_MSC_VER)
#pragma comment(lib, "shell32.lib")
#pragma comment(lib, "ole32.lib")
#endif

bool PLAT_toWide(const std::string& utf8, std::wstring* wide) {
    wide->clear();
    if (utf8.empty()) return true;
    const int length = static_cast<int>(utf8.size());
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (size <= 0) return false;
    wide->resize(static_cast<size_t>(size));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide->data(), size) == size;
}

bool PLAT_fromWide(const wchar_t* wide, std::string* utf8) {
    utf8->clear();
    if (wide == nullptr || wide[0] == L'\0') return true;
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return false;
    std::vector<char> text(static_cast<size_t>(size));
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, text.data(), size, nullptr, nullptr) != size) {
        return false;
    }
    utf8->assign(text.data());
    return true;
}

namespace {

bool isFolder(const std::string& path) {
    std::wstring wide;
    if (!PLAT_toWide(path, &wide)) return false;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool makeOneFolder(const std::string& path) {
    std::wstring wide;
    return PLAT_toWide(path, &wide) && CreateDirectoryW(wide.c_str(), nullptr) != FALSE;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Prefixes that are roots, not folders to create: "C:", "\\server\share".
size_t firstCreatable(const std::string& path) {
    if (path.size() >= 2 && path[1] == ':') return 3;
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        size_t server = path.find_first_of("\\/", 2);
        size_t share = server == std::string::npos ? server : path.find_first_of("\\/", server + 1);
        return share == std::string::npos ? path.size() : share + 1;
    }
    return 1;
}

// The search also matches a file's 8.3 short name: "x.log1" has one ending in
// ".LOG" and would turn up under "*.log". Only the file's own name counts,
// compared without case as the system compares names.
bool ownNameMatches(const std::wstring& name, const std::wstring& pattern) {
    const std::wstring tail = pattern.substr(pattern.find_last_of(L'*') + 1);
    if (name.size() < tail.size()) return false;
    return CompareStringOrdinal(name.c_str() + (name.size() - tail.size()), static_cast<int>(tail.size()),
                                tail.c_str(), static_cast<int>(tail.size()), TRUE) == CSTR_EQUAL;
}

// Closes a search handle on every path out of PLAT_findFiles.
struct SearchHandle {
    HANDLE handle;
    ~SearchHandle() {
        if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
    }
};

}  // namespace

bool PLAT_getLocalAppDataFolder(std::string* folder) {
    PWSTR wide = nullptr;
    HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &wide);
    std::string text;
    const bool ok = SUCCEEDED(result) && wide != nullptr && wide[0] != L'\0' && PLAT_fromWide(wide, &text);
    // The caller frees the text whether or not the call succeeded.
    CoTaskMemFree(wide);
    if (ok) *folder = text;
    return ok;
}

bool PLAT_findFiles(const std::string& folder, const char* pattern, std::vector<PLAT_fileEntry>* out) {
    out->clear();
    std::wstring query;
    std::wstring widePattern;
    if (!PLAT_toWide(folder + "\\" + pattern, &query) || !PLAT_toWide(pattern, &widePattern)) return false;
    WIN32_FIND_DATAW data;
    SearchHandle search{FindFirstFileW(query.c_str(), &data)};
    if (search.handle == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (!ownNameMatches(data.cFileName, widePattern)) continue;
        std::string name;
        // A name that is not valid UTF-16 could not be opened again by its
        // UTF-8 form; it is no log file of ours.
        if (!PLAT_fromWide(data.cFileName, &name)) continue;
        uint64_t written = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
        out->push_back(PLAT_fileEntry{name, written});
    } while (FindNextFileW(search.handle, &data));
    return true;
}

std::FILE* PLAT_openFile(const std::string& path, const char* mode) {
    std::wstring widePath;
    std::wstring wideMode;
    if (!PLAT_toWide(path, &widePath) || !PLAT_toWide(mode, &wideMode)) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(widePath.c_str(), wideMode.c_str());
}

#else

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace {

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool makeOneFolder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool isSeparator(char c) { return c == '/'; }

size_t firstCreatable(const std::string&) { return 1; }

// Home folder from the account database when $HOME is not set.
bool accountHome(std::string* home) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
        return false;
    }
    home->assign(found->pw_dir);
    return true;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

// $XDG_DATA_HOME when it holds an absolute path (relative values are invalid
// and ignored, as the base-directory convention asks), else ~/.local/share.
bool PLAT_getLocalAppDataFolder(std::string* folder) {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        folder->assign(dataHome);
        return true;
    }
    std::string home;
    const char* homeVar = std::getenv("HOME");
    if (homeVar != nullptr && homeVar[0] != '\0') {
        home = homeVar;
    } else if (!accountHome(&home)) {
        return false;
    }
    *folder = home + "/.local/share";
    return true;
}

bool PLAT_findFiles(const std::string& folder, const char* pattern, std::vector<PLAT_fileEntry>* out) {
    out->clear();
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) return false;
    const int dirFd = ::dirfd(dir.get());
    while (const struct dirent* entry = ::readdir(dir.get())) {
        if (::fnmatch(pattern, entry->d_name, 0) != 0) continue;
        struct stat info {};
        // A file removed since the listing is simply not there any more.
        if (::fstatat(dirFd, entry->d_name, &info, 0) != 0 || S_ISDIR(info.st_mode)) continue;
        uint64_t written = static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000ull +
                           static_cast<uint64_t>(info.st_mtim.tv_nsec);
        out->push_back(PLAT_fileEntry{entry->d_name, written});
    }
    return true;
}

std::FILE* PLAT_openFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

#endif

// Creates the folder and any missing parents (a fresh machine may lack even
// the application-data folder); an existing folder is fine.
bool PLAT_createFolder(const std::string& folder) {
    if (folder.empty()) return false;
    if (isFolder(folder)) return true;
    for (size_t i = firstCreatable(folder); i < folder.size(); ++i) {
        if (isSeparator(folder[i]) && !isSeparator(folder[i - 1])) makeOneFolder(folder.substr(0, i));
    }
    makeOneFolder(folder);
    return isFolder(folder);
}
