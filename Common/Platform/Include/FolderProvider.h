#pragma once

#include <string>

namespace brondal {

// The system's well-known folders and the values the log-folder rule reads, behind one
// interface so that tests can point the rule into a temporary folder. Every query answers
// an empty text when the system has no such folder or value.
class FolderProvider {
public:
    virtual ~FolderProvider() = default;

    // The application-data folder shared by every user, only when this process may create
    // folders in it (a service running with full rights).
    virtual std::string CommonAppDataFolder() = 0;
    virtual std::string EnvironmentVariable(const std::string& name) = 0;
    // The calling user's own application-data folders: the one kept on this machine, and
    // the one that would follow the user to other machines.
    virtual std::string LocalAppDataFolder() = 0;
    virtual std::string RoamingAppDataFolder() = 0;
    // The name of the user the process runs as.
    virtual std::string UserName() = 0;
};

// The provider over the operating system; lives as long as the process.
FolderProvider& SystemFolderProvider();

}  // namespace brondal
