// The command line: what each argument asks for, the path an installation registers, and
// what the program prints and runs.
#include "CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "FakeServiceManager.h"
#include "ServiceImpl.h"

namespace brondal::corvane::server {
namespace {

TEST(CommandLineTest, OnlyTheFirstArgumentCountsExactly) {
    using A = ProgramAction;
    const std::pair<std::vector<std::string>, ProgramCommand> cases[] = {
        {{}, {A::RunAsService, ""}},           {{"-i:/opt/corvane"}, {A::Install, "/opt/corvane"}},
        {{"-i:-u", "-e"}, {A::Install, "-u"}}, {{"-i"}, {A::InstallInCurrentDirectory, ""}},
        {{"-u", "-e"}, {A::Uninstall, ""}},    {{"-e", "-u"}, {A::RunAsExecutable, ""}},
        {{"-x"}, {A::ShowUsage, ""}},          {{"-I"}, {A::ShowUsage, ""}},
        {{"-e2"}, {A::ShowUsage, ""}},         {{"-i/opt"}, {A::ShowUsage, ""}},
        {{"", "-e"}, {A::ShowUsage, ""}},
    };
    for (const auto& [arguments, command] : cases) {
        EXPECT_EQ(ParseCommandLine(arguments), command) << ::testing::PrintToString(arguments);
    }
}

TEST(CommandLineTest, InstallPathAddsASeparatorOnlyWhenTheFolderLacksOne) {
    auto path = [](ProgramAction action, const char* folder, const char* current) {
        return InstallExecutablePath({action, folder}, current);
    };
    const ProgramAction in = ProgramAction::Install,
                        here = ProgramAction::InstallInCurrentDirectory;
    EXPECT_EQ(path(in, "/opt/my dir", "/c"), "/opt/my dir/CorvaneDirectoryService");
    EXPECT_EQ(path(in, "/opt/x/", "/c"), "/opt/x/CorvaneDirectoryService");
    // The current directory always gets one, even the root, which ends with one.
    EXPECT_EQ(path(here, "", "/srv/x"), "/srv/x/CorvaneDirectoryService");
    EXPECT_EQ(path(here, "", "/"), "//CorvaneDirectoryService");
    // systemd starts services from "/": a relative folder is the current directory's.
    EXPECT_EQ(path(in, "bin", "/srv"), "/srv/bin/CorvaneDirectoryService");
    EXPECT_EQ(path(here, "", ""), "");
}

// A host that records how it was run instead of running.
class RecordingHost final : public ServiceImpl {
public:
    explicit RecordingHost(ServiceManager& manager) : ServiceImpl(manager) {}
    bool RunAsService() override {
        runs += "service;";
        return succeeds;
    }
    bool RunAsExecutable() override {
        runs += "executable;";
        return succeeds;
    }
    const char* GetServiceName() override { return ""; }
    const char* GetDisplayName() override { return ""; }
    const char* GetDescription() override { return ""; }
    std::string runs;
    bool succeeds = true;

private:
    ~RecordingHost() override = default;
};

TEST(RunProgramTest, PrintsTheOutcomeOfEachCommandAndRunsTheHostQuietly) {
    brondal::testing::FakeServiceManager manager;
    auto host = RefPtr<RecordingHost>::Adopt(new RecordingHost(manager));
    auto run = [&](std::vector<std::string> arguments, int exitCode = 0) {
        std::FILE* console = std::tmpfile();
        const ProgramContext context{manager, [] { return std::string("/srv/x"); },
                                     [&] { return RefPtr<IService>(host); }, console};
        EXPECT_EQ(RunProgram(arguments, context), exitCode);
        std::string printed(static_cast<std::size_t>(std::ftell(console)), '\0');
        std::rewind(console);
        printed.resize(std::fread(printed.data(), 1, printed.size(), console));
        std::fclose(console);
        return printed;
    };
    EXPECT_EQ(run({"-i:/opt/x"}), "\n\nService Installed Successfully\n");
    EXPECT_EQ(run({"-u"}), "\n\nService UnInstalled Successfully\n");
    manager.succeeds = false;
    EXPECT_EQ(run({"-i"}), "\n\nError Installing Service\n");
    EXPECT_EQ(run({"-u"}), "\n\nError UnInstalling Service\n");
    const std::string service = "Corvane Directory Service";
    EXPECT_EQ(manager.installed, (std::vector<std::string>{
                                     "/opt/x/CorvaneDirectoryService|" + service + "|" + service +
                                         "|Provides Corvane Display Name Resolution",
                                     "/srv/x/CorvaneDirectoryService|" + service + "|" + service +
                                         "|Provides Corvane Display Name Resolution"}));
    EXPECT_EQ(manager.uninstalled, (std::vector<std::string>{service, service}));

    EXPECT_EQ(run({"-e2"}),
              "\n\nUsage:\n"
              "    -i     To install this as a service\n"
              "    -u     To uninstall this as a service\n"
              "    -e     To run this as an executable\n");
    EXPECT_EQ(host->runs, "");
    EXPECT_EQ(run({"-e", "-u"}), "");
    EXPECT_EQ(run({}), "");
    EXPECT_EQ(host->runs, "executable;service;");
    // A run that could not start fails the process, so that a manager restarts it.
    host->succeeds = false;
    EXPECT_EQ(run({"-e"}, 1), "");
    EXPECT_EQ(run({}, 1), "");
}

}  // namespace
}  // namespace brondal::corvane::server
