// The printf format check of the log's formatting functions. They format with the C library's
// vsnprintf, which in mingw-w64 builds is mingw-w64's own (C99 conversions such as %zu and %lld,
// as glibc's), not msvcrt's that the plain `printf` archetype describes there.
#pragma once

#if defined(__MINGW32__)
#define LOG_PRINTF_FORMAT(fmtIndex, firstArg) \
    __attribute__((format(gnu_printf, fmtIndex, firstArg)))
#else
#define LOG_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#endif
