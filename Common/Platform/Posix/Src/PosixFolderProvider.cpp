#include "PosixFolderProvider.h"

#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace brondal::platform {

namespace {

constexpr const char* CommonAppData = "/var/lib";
constexpr mode_t FolderMode = 0755;

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// An XDG folder: its own variable when set, else the conventional place under $HOME.
std::string UserFolder(const char* variable, const char* underHome) {
    std::string folder = Variable(variable);
    if (!folder.empty()) return folder;
    const std::string home = Variable("HOME");
    return home.empty() ? std::string() : home + underHome;
}

bool MakeFolder(const char* path) noexcept {
    return ::mkdir(path, FolderMode) == 0 || errno == EEXIST;
}

}  // namespace

std::string PosixFolderProvider::CommonAppDataFolder() {
    // Only a process with full rights (the service run as root) may create folders there;
    // anyone else falls back to a folder of their own.
    return ::access(CommonAppData, W_OK) == 0 ? CommonAppData : "";
}

std::string PosixFolderProvider::EnvironmentVariable(const std::string& name) {
    return Variable(name.c_str());
}

std::string PosixFolderProvider::LocalAppDataFolder() {
    return UserFolder("XDG_DATA_HOME", "/.local/share");
}

std::string PosixFolderProvider::RoamingAppDataFolder() {
    return UserFolder("XDG_CONFIG_HOME", "/.config");
}

std::string PosixFolderProvider::UserName() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name) {
        return found->pw_name;
    }
    return Variable("USER");
}

bool PosixFolderProvider::CreateFolderChain(const char* path) noexcept {
    char partial[PATH_MAX];
    std::size_t length = 0;
    while (path[length] != '\0') {
        if (length + 1 >= sizeof partial) return false;
        partial[length] = path[length];
        ++length;
    }
    if (length == 0) return false;
    partial[length] = '\0';

    // Each separator after the first character ends a component; the root needs no mkdir.
    for (std::size_t i = 1; i < length; ++i) {
        if (partial[i] != '/' || partial[i - 1] == '/') continue;
        partial[i] = '\0';
        MakeFolder(partial);
        partial[i] = '/';
    }
    return MakeFolder(partial);
}

}  // namespace brondal::platform

namespace brondal {

FolderProvider& SystemFolderProvider() {
    static platform::PosixFolderProvider provider;
    return provider;
}

}  // namespace brondal
