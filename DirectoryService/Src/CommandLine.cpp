#include "CommandLine.h"

#include "CorvaneDirectoryServiceMain.h"

namespace brondal::corvane::server {

namespace {

constexpr std::string_view InstallPrefix = "-i:";

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
        folder = std::string(currentDirectory) + "/";
    } else {
        folder = command.folder;
        if (!folder.starts_with('/')) {
            if (currentDirectory.empty()) return {};
            folder = std::string(currentDirectory) + "/" + folder;
        }
        if (!folder.ends_with('/')) folder += '/';
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
