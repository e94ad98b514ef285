// How the C runtime that formats our text differs between the systems, for
// tests whose expectation depends on it.
#pragma once

namespace zarn::testing {

// A wide string holding no valid character (a lone surrogate) for %ls:
// glibc refuses to convert it and its printf family fails with a negative
// length; MinGW's C99 printf (16-bit wchar_t) writes nothing for it and
// succeeds.
inline constexpr bool kPrintfRefusesInvalidWideText =
#ifdef _WIN32
    false;
#else
    true;
#endif

}  // namespace zarn::testing
