// The Windows pieces with no POSIX counterpart to share tests with: the service control
// manager's registry of services, the crash filter, the folders and the process readers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CrashFilter.h"
#include "CrashHandler.h"
#include "FolderChain.h"
#include "FolderProvider.h"
#include "LogFolderPath.h"
#include "ProcessStatistics.h"
#include "ServiceManager.h"
#include "SystemHeaders.h"
#include "WideText.h"

namespace brondal {
namespace {

namespace fs = std::filesystem;

// A scratch folder of the test's own, removed afterwards.
class ScratchFolder : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = (fs::temp_directory_path() /
                   ("BrondalWindowsTest-" + std::to_string(::GetCurrentProcessId()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                      .string();
        fs::remove_all(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string folder_;
};

using ServiceManagerTest = ScratchFolder;

bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine keeps a service control manager of its own, so the registry side runs there too.
TEST_F(ServiceManagerTest, InstallsAnAutomaticOwnProcessServiceOnceAndRemovesItOnce) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) GTEST_SKIP() << "no right to change the service control manager";
    const std::string name = "Brondal Test Service " + std::to_string(::GetCurrentProcessId());
    const std::string path = "C:\\Program Files\\Brondal\\Test.exe";
    ServiceManager& services = SystemServiceManager();
    ASSERT_TRUE(services.Install(path, name, name + " shown", "Tests the installation"));
    EXPECT_FALSE(services.Install(path, name, name, "")) << "installed twice";

    SC_HANDLE service = ::OpenServiceW(manager, platform::Widen(name).c_str(), SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    DWORD size = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &size);
    std::vector<char> buffer(size);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(::QueryServiceConfigW(service, config, size, &size));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    // Quoted, or the manager would start "C:\Program".
    EXPECT_EQ(platform::Narrow(config->lpBinaryPathName), '"' + path + '"');
    EXPECT_EQ(platform::Narrow(config->lpDisplayName), name + " shown");
    ::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &size);
    std::vector<BYTE> described(size);
    ASSERT_TRUE(
        ::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, described.data(), size, &size));
    EXPECT_EQ(
        platform::Narrow(reinterpret_cast<SERVICE_DESCRIPTIONW*>(described.data())->lpDescription),
        "Tests the installation");
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);

    // Wine's service manager refuses the first deletion of a service created in the same
    // session now and then (seen in fresh prefixes) and takes the second; Windows does not.
    EXPECT_TRUE(services.Uninstall(name) || (RunningUnderWine() && services.Uninstall(name)));
    EXPECT_FALSE(services.Uninstall(name)) << "removed twice";
}

TEST(ServiceManager, APlainProcessIsNotConnectedAndStopsThroughItsConsole) {
    ServiceManager& services = SystemServiceManager();
    std::string reason;
    EXPECT_EQ(services.Connect(&reason), nullptr);
    EXPECT_EQ(reason, "not started by the service control manager");
    // Outside the manager there are no other controls, but stop requests are watched.
    EXPECT_EQ(services.WatchOtherControls([](std::uint32_t, std::uint32_t, void*) {}, &reason),
              nullptr);
    EXPECT_NE(services.WatchStopRequests([] {}, &reason), nullptr) << reason;
    EXPECT_FALSE(services.StandardErrorIsManagerLog());
}

// The filter on made-up exceptions: only an access violation leaves the report and dump.
class CrashFilterTest : public ScratchFolder, public ::testing::WithParamInterface<DWORD> {};

TEST_P(CrashFilterTest, AccessViolationsLeaveAReportAndAMinidump) {
    const std::string previous = SetCrashFolderForTesting(folder_ + "/crash");
    InstallCrashHandler();
    CONTEXT context{};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = GetParam();
    record.ExceptionAddress = reinterpret_cast<void*>(&::RtlCaptureContext);
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = 1;
    record.ExceptionInformation[1] = 0x10;
    EXCEPTION_POINTERS pointers{&record, &context};
    EXPECT_EQ(platform::CrashFilter(&pointers), EXCEPTION_CONTINUE_SEARCH);
    SetCrashFolderForTesting(previous);
    InstallCrashHandler();

    const bool violation = GetParam() == EXCEPTION_ACCESS_VIOLATION;
    EXPECT_EQ(fs::exists(folder_ + "/crash/crash.mdmp"), violation);
    EXPECT_EQ(fs::exists(folder_ + "/crash/crash-report.txt"), violation);
    if (!violation) return;
    EXPECT_GT(fs::file_size(folder_ + "/crash/crash.mdmp"), 0u);
    std::ifstream report(folder_ + "/crash/crash-report.txt");
    const std::string text((std::istreambuf_iterator<char>(report)),
                           std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Exception 0xc0000005"), std::string::npos) << text;
    EXPECT_NE(text.find("Written address: 0000000000000010"), std::string::npos) << text;
    EXPECT_NE(text.find("stack trace for thread"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Codes, CrashFilterTest,
                         ::testing::Values(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_INT_DIVIDE_BY_ZERO,
                                           EXCEPTION_BREAKPOINT));

using FolderTest = ScratchFolder;

TEST_F(FolderTest, ChainsAcceptEitherSeparatorAndTheDrive) {
    const std::string drive = fs::path(folder_).root_name().string();
    ASSERT_EQ(drive.size(), 2u) << folder_;
    const std::string path = folder_ + "/a\\b//c";
    EXPECT_TRUE(platform::CreateFolderChain(path.c_str()));
    EXPECT_TRUE(fs::is_directory(folder_ + "/a/b/c"));
    EXPECT_TRUE(platform::CreateFolderChain(path.c_str())) << "existing folders count";
    EXPECT_TRUE(platform::CreateFolderChain(drive.c_str()));
    EXPECT_FALSE(platform::CreateFolderChain(""));
}

TEST(Folders, TheSystemNamesItsFoldersAndTheUser) {
    FolderProvider& folders = SystemFolderProvider();
    EXPECT_FALSE(folders.CommonAppDataFolder().empty());
    EXPECT_FALSE(folders.LocalAppDataFolder().empty());
    EXPECT_FALSE(folders.RoamingAppDataFolder().empty());
    EXPECT_FALSE(folders.UserName().empty());
    ::SetEnvironmentVariableW(L"BRONDAL_TEST_VALUE", L"caf\u00e9");
    EXPECT_EQ(folders.EnvironmentVariable("BRONDAL_TEST_VALUE"), "caf\xc3\xa9");
    EXPECT_EQ(folders.EnvironmentVariable("BRONDAL_TEST_UNSET"), "");
}

TEST(ProcessReaders, DescribeThisProcess) {
    EXPECT_GE(ReadProcessThreadCount().value_or(0), 1);
    EXPECT_GT(ReadResidentSetBytes().value_or(0), 0u);
    const std::optional<CpuTimes> system = ReadSystemCpuTimes();
    ASSERT_TRUE(system && ReadProcessCpuTimes());
    EXPECT_GT(system->kernel + system->user, 0u);
}

}  // namespace
}  // namespace brondal
