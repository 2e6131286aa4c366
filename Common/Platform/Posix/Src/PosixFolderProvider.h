#pragma once

#include <string>

#include "FolderProvider.h"

namespace brondal::platform {

// The folders of a Linux system: the common application-data folder is /var/lib, the
// user's are those of the XDG base-directory convention.
class PosixFolderProvider final : public FolderProvider {
public:
    std::string CommonAppDataFolder() override;
    std::string EnvironmentVariable(const std::string& name) override;
    std::string LocalAppDataFolder() override;
    std::string RoamingAppDataFolder() override;
    std::string UserName() override;

    // Creates every missing folder along an absolute or relative path, one component at a
    // time; true when the last one exists afterwards. Async-signal-safe (no allocation, only
    // mkdir), so the crash handler can use it; paths longer than PATH_MAX fail.
    static bool CreateFolderChain(const char* path) noexcept;
};

}  // namespace brondal::platform
