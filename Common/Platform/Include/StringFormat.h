#pragma once

#include <cstdarg>
#include <string>

// Marks a printf-style function for the compiler's format checks. The formatting goes through
// the C++ library's vsnprintf, which is ISO C on every target (MinGW-w64's libstdc++ selects
// its own ISO printf); MinGW's plain "printf" attribute would check Microsoft's older dialect
// instead, which has no %zu.
#if defined(__MINGW32__)
#define BRONDAL_PRINTF_FORMAT(index, first) __attribute__((format(gnu_printf, index, first)))
#else
#define BRONDAL_PRINTF_FORMAT(index, first) __attribute__((format(printf, index, first)))
#endif

namespace brondal {

// printf-style formatting into a string of exactly the needed size.
std::string StringPrintf(const char* format, ...) BRONDAL_PRINTF_FORMAT(1, 2);
std::string StringPrintfV(const char* format, va_list args);

}  // namespace brondal
