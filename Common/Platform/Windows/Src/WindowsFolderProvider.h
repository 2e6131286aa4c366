#pragma once

#include <string>

#include "FolderProvider.h"

namespace brondal::platform {

// The folders of a Windows system: the shell's known folders (the common one is
// ProgramData), the process's environment and the account's name, all as UTF-8.
class WindowsFolderProvider final : public FolderProvider {
public:
    std::string CommonAppDataFolder() override;
    std::string EnvironmentVariable(const std::string& name) override;
    std::string LocalAppDataFolder() override;
    std::string RoamingAppDataFolder() override;
    std::string UserName() override;
};

}  // namespace brondal::platform
