#include "CurrentDirectory.h"

#include "SystemHeaders.h"

#include <vector>

#include "WideText.h"

namespace brondal {

std::string CurrentDirectory() {
    // The wide call: the folder may hold characters the ANSI code page has no byte for.
    const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return {};
    std::vector<wchar_t> buffer(needed);
    const DWORD length = ::GetCurrentDirectoryW(needed, buffer.data());
    if (length == 0 || length >= needed) return {};
    return platform::Narrow(std::wstring_view(buffer.data(), length));
}

}  // namespace brondal
