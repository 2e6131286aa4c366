#include "StringFormat.h"

#include <cstdio>

namespace brondal {

std::string StringPrintfV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (n > 0) {
        text.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(n));
    }
    return text;
}

std::string StringPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = StringPrintfV(format, args);
    va_end(args);
    return text;
}

}  // namespace brondal
