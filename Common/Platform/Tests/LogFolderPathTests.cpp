// The rule that places log and crash folders, with every system folder in a temporary one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>

#include "LogFolderPath.h"

namespace brondal {
namespace {

namespace fs = std::filesystem;

class FakeFolders final : public FolderProvider {
public:
    std::string CommonAppDataFolder() override { return common; }
    std::string EnvironmentVariable(const std::string& name) override { return environment[name]; }
    std::string LocalAppDataFolder() override { return local; }
    std::string RoamingAppDataFolder() override { return roaming; }
    std::string UserName() override { return "svc"; }

    std::string common, local, roaming;
    std::map<std::string, std::string> environment;
};

class LogFolderPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/LogFolderPathTest-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folders_.common = temp_ = pattern;
    }
    void TearDown() override { fs::remove_all(temp_); }

    std::string temp_;
    FakeFolders folders_;
};

TEST_F(LogFolderPathTest, CreatesTheFolderOnlyWhenAsked) {
    EXPECT_EQ(LogFolderPath(folders_, "Acme", "Corvane", "", false, false),
              temp_ + "/Acme/Corvane");
    EXPECT_FALSE(fs::exists(temp_ + "/Acme"));
    const std::string path =
        LogFolderPath(folders_, "Brondal", "Corvane", "DirectoryService\\Logs", true, false);
    EXPECT_EQ(path, temp_ + "/Brondal/Corvane/DirectoryService/Logs");
    EXPECT_TRUE(fs::is_directory(path));
    // The crash folder: the default maker alone.
    EXPECT_EQ(LogFolderPath(folders_, "", "", "", true, false), temp_ + "/Brondal");

    const std::string previous = SetCrashFolderForTesting(temp_ + "/crash/deeper");
    EXPECT_EQ(CrashFolder(false), temp_ + "/crash/deeper");
    EXPECT_FALSE(fs::exists(temp_ + "/crash"));
    CrashFolder(true);
    EXPECT_TRUE(fs::is_directory(temp_ + "/crash/deeper"));
    SetCrashFolderForTesting(previous);
}

TEST_F(LogFolderPathTest, FallsBackThroughTheBaseFoldersInOrder) {
    folders_.environment = {{"Temp", "/t1"}, {"Tmp", "/t2"}};
    folders_.local = "/local";
    folders_.roaming = "/roaming";
    auto path = [&] { return LogFolderPath(folders_, "M", "", "", false, false); };
    EXPECT_EQ(path(), temp_ + "/M");
    folders_.common.clear();
    EXPECT_EQ(path(), "/t1/M");
    folders_.environment.erase("Temp");
    EXPECT_EQ(path(), "/t2/M");
    folders_.environment.clear();
    EXPECT_EQ(path(), "/local/M");
    folders_.local.clear();
    EXPECT_EQ(path(), "/roaming/M");
    // With no base at all the path starts at the root.
    folders_.roaming.clear();
    EXPECT_EQ(path(), "/M");
}

TEST_F(LogFolderPathTest, AppendsUserProductAndSubPathWithoutTrailingSeparator) {
    EXPECT_EQ(LogFolderPath(folders_, "Acme\\Labs", "Corvane", "Logs\\", false, true),
              temp_ + "/Acme/Labs/svc/Corvane/Logs");
    EXPECT_EQ(LogFolderPath(folders_, "Acme", "", "Logs", false, false), temp_ + "/Acme/Logs");
}

}  // namespace
}  // namespace brondal
