// Format checking of our printf-style functions against the printf that
// really formats their text.
//
// On Windows, MinGW's libstdc++ sets __USE_MINGW_ANSI_STDIO, so the printf
// family of <cstdio> is MinGW's own C99 implementation (%zu, %lld, %hhx,
// %Lf), not Microsoft's C runtime; the compiler's "printf" archetype there
// means Microsoft's and would refuse the C99 conversions we use. The
// "gnu_printf" archetype checks what the formatting actually accepts.
#pragma once

#include <cstdio>

#if defined(__MINGW32__) && !__USE_MINGW_ANSI_STDIO
#error "the printf family is Microsoft's here: the C99 conversions the code uses would print wrong"
#endif

#if defined(__MINGW32__)
#define PLAT_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define PLAT_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PLAT_PRINTF_FORMAT(fmt, args)
#endif
