// Compiler annotations the core uses, spelled once for every compiler.
#pragma once

// Checks the arguments of a printf-style function: format_index is the position of the format
// argument, first_index that of the first variadic argument (1-based, as the compilers count).
#if defined(__MINGW32__)
// The C++ library of mingw-w64 formats with its own, C99-conforming printf.
#define KEL_PRINTF_FORMAT(format_index, first_index) \
    __attribute__((format(gnu_printf, format_index, first_index)))
#elif defined(__GNUC__)
#define KEL_PRINTF_FORMAT(format_index, first_index) \
    __attribute__((format(printf, format_index, first_index)))
#else
#define KEL_PRINTF_FORMAT(format_index, first_index)
#endif
