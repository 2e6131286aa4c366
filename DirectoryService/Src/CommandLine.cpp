#include "CommandLine.h"

#include <filesystem>

#include "CorvaneDirectoryServiceMain.h"

namespace brondal::corvane::server {

namespace {

constexpr std::string_view InstallPrefix = "-i:";
// The system's own separator ("/", or a backslash on Windows, which takes "/" as well).
constexpr char Separator = static_cast<char>(std::filesystem::path::preferred_separator);

bool EndsWithSeparator(std::string_view folder) {
    return folder.ends_with('/') || folder.ends_with(Separator);
}

void Print(std::FILE* console, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), console);
}

bool Install(const ProgramCommand& command, const ProgramContext& context) {
    const std::string current = context.currentDirectory();
    const std::string path = InstallExecutablePath(command, current);
    const char* name = CorvaneDirectoryServiceMain::ServiceName;
    return !path.empty() && context.serviceManager.Install(
                                path, name, name, CorvaneDirectoryServiceMain::Description);
}

}  // namespace

ProgramCommand ParseCommandLine(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return {ProgramAction::RunAsService, {}};
    const std::string& first = arguments.front();
    if (first.starts_with(InstallPrefix)) {
        return {ProgramAction::Install, first.substr(InstallPrefix.size())};
    }
    if (first == "-i") return {ProgramAction::InstallInCurrentDirectory, {}};
    if (first == "-u") return {ProgramAction::Uninstall, {}};
    if (first == "-e") return {ProgramAction::RunAsExecutable, {}};
    return {ProgramAction::ShowUsage, {}};
}

std::string InstallExecutablePath(const ProgramCommand& command,
                                  std::string_view currentDirectory) {
    std::string folder;
    if (command.action == ProgramAction::InstallInCurrentDirectory) {
        if (currentDirectory.empty()) return {};
        folder = std::string(currentDirectory) + Separator;
    } else {
        folder = command.folder;
        if (!std::filesystem::path(folder).is_absolute()) {
            if (currentDirectory.empty()) return {};
            folder = std::string(currentDirectory) + Separator + folder;
        }
        if (!EndsWithSeparator(folder)) folder += Separator;
    }
    return folder + CorvaneDirectoryServiceMain::ExecutableName;
}

int RunProgram(const std::vector<std::string>& arguments, const ProgramContext& context) {
    const ProgramCommand command = ParseCommandLine(arguments);
    int exitCode = ExitSucceeded;
    switch (command.action) {
        case ProgramAction::RunAsService:
            if (!context.host()->RunAsService()) exitCode = ExitRunFailed;
            break;
        case ProgramAction::RunAsExecutable:
            if (!context.host()->RunAsExecutable()) exitCode = ExitRunFailed;
            break;
        case ProgramAction::Install:
        case ProgramAction::InstallInCurrentDirectory:
            Print(context.console,
                  Install(command, context) ? console::InstallSucceeded : console::InstallFailed);
            break;
        case ProgramAction::Uninstall:
            Print(context.console,
                  context.serviceManager.Uninstall(CorvaneDirectoryServiceMain::ServiceName)
                      ? console::UninstallSucceeded
                      : console::UninstallFailed);
            break;
        case ProgramAction::ShowUsage:
            Print(context.console, console::Usage);
            break;
    }
    std::fflush(context.console);
    return exitCode;
}

}  // namespace brondal::corvane::server
