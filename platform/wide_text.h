// UTF-8 to UTF-16 and back, for the wide Win32 functions behind platform/'s
// UTF-8 interface. Windows only.
#pragma once

#ifdef _WIN32

#include <string>

// False when the text is not valid UTF-8 (or UTF-16): such a text names no
// file, and a garbled one could name someone else's.
bool PLAT_toWide(const std::string& utf8, std::wstring* wide);
bool PLAT_fromWide(const wchar_t* wide, std::string* utf8);

#endif
