#include "WindowsFolderProvider.h"

#include "SystemHeaders.h"
// After windows.h, which they need.
#include <lmcons.h>
#include <shlobj.h>

#include <vector>

#include "FolderChain.h"
#include "WideText.h"

namespace brondal::platform {

namespace {

std::string KnownFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return {};
    return Narrow(path);
}

bool MakeFolder(const std::wstring& path) {
    return ::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

}  // namespace

std::string WindowsFolderProvider::CommonAppDataFolder() {
    // Every account may create folders in ProgramData (only their own files stay theirs),
    // so unlike /var/lib it needs no check of the caller's rights.
    return KnownFolder(CSIDL_COMMON_APPDATA);
}

std::string WindowsFolderProvider::EnvironmentVariable(const std::string& name) {
    const std::wstring wide = Widen(name);
    const DWORD needed = ::GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (needed == 0) return {};
    std::vector<wchar_t> value(needed);
    const DWORD length = ::GetEnvironmentVariableW(wide.c_str(), value.data(), needed);
    if (length == 0 || length >= needed) return {};
    return Narrow(std::wstring_view(value.data(), length));
}

std::string WindowsFolderProvider::LocalAppDataFolder() { return KnownFolder(CSIDL_LOCAL_APPDATA); }

std::string WindowsFolderProvider::RoamingAppDataFolder() { return KnownFolder(CSIDL_APPDATA); }

std::string WindowsFolderProvider::UserName() {
    wchar_t name[UNLEN + 1] = {};
    DWORD size = UNLEN + 1;
    if (!::GetUserNameW(name, &size)) return {};
    return Narrow(name);
}

bool CreateFolderChain(const char* path) noexcept {
    try {
        const std::wstring wide = Widen(path);
        if (wide.empty()) return false;
        // Components start after a drive ("C:"), and a separator at the very start is the
        // root of the current drive.
        std::size_t first = 1;
        if (wide.size() >= 2 && wide[1] == L':') first = 3;
        for (std::size_t i = first; i < wide.size(); ++i) {
            if (IsSeparator(wide[i]) && !IsSeparator(wide[i - 1])) MakeFolder(wide.substr(0, i));
        }
        return MakeFolder(wide);
    } catch (...) {
        return false;
    }
}

}  // namespace brondal::platform

namespace brondal {

FolderProvider& SystemFolderProvider() {
    static platform::WindowsFolderProvider provider;
    return provider;
}

}  // namespace brondal
