#pragma once

#include <cstdarg>
#include <string>

namespace brondal {

// printf-style formatting into a string of exactly the needed size.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringPrintfV(const char* format, va_list args);

}  // namespace brondal
