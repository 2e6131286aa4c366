#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "IService.h"
#include "RefPtr.h"
#include "ServiceManager.h"

namespace brondal::corvane::server {

enum class ProgramAction {
    RunAsService,
    Install,
    InstallInCurrentDirectory,
    Uninstall,
    RunAsExecutable,
    ShowUsage,
};

struct ProgramCommand {
    ProgramAction action = ProgramAction::ShowUsage;
    // Install: the folder after "-i:", exactly as given.
    std::string folder;

    friend bool operator==(const ProgramCommand&, const ProgramCommand&) = default;
};

// What the command line asks for. Only the first argument counts (arguments excludes the
// program's own name), compared exactly and case-sensitively: none runs the service,
// "-i:<folder>" and "-i" install, "-u" uninstalls, "-e" runs as a plain process, anything
// else asks for the usage text.
ProgramCommand ParseCommandLine(const std::vector<std::string>& arguments);

// The executable an install command registers: for "-i:<folder>" the folder, a "/" unless
// it ends with one, and the program's name; for "-i" the current directory, always a "/",
// and the name. A relative folder is taken from the current directory, since the service
// manager starts services elsewhere. Empty when the current directory is needed but
// unknown.
std::string InstallExecutablePath(const ProgramCommand& command, std::string_view currentDirectory);

// The console texts, exactly as the program prints them.
namespace console {
constexpr std::string_view InstallSucceeded = "\n\nService Installed Successfully\n";
constexpr std::string_view InstallFailed = "\n\nError Installing Service\n";
constexpr std::string_view UninstallSucceeded = "\n\nService UnInstalled Successfully\n";
constexpr std::string_view UninstallFailed = "\n\nError UnInstalling Service\n";
constexpr std::string_view Usage =
    "\n\nUsage:\n"
    "    -i     To install this as a service\n"
    "    -u     To uninstall this as a service\n"
    "    -e     To run this as an executable\n";
}  // namespace console

// What the program works with, so that each part can be replaced in tests.
struct ProgramContext {
    ServiceManager& serviceManager;
    std::function<std::string()> currentDirectory;
    // The host, asked for only when the command runs it.
    std::function<RefPtr<IService>()> host;
    std::FILE* console;
};

// The process's exit codes. Installing, removing and the usage text always end with
// ExitSucceeded (their outcome is what they print); a run of the service ends with
// ExitRunFailed when it could not run or its registry could not start, so that a service
// manager that restarts failed services does so.
constexpr int ExitSucceeded = 0;
constexpr int ExitRunFailed = 1;

// Carries out the command line. Returns the process's exit code.
int RunProgram(const std::vector<std::string>& arguments, const ProgramContext& context);

}  // namespace brondal::corvane::server
