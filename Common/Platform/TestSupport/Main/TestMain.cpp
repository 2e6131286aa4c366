// The main function of every test program. Test programs run as root on CI, so without this
// a crash or an escaping exception in any test would write its report into the system's
// crash folder; here they go to a temporary folder that appears only when something is
// written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "CrashHandler.h"
#include "LogFolderPath.h"

int main(int argc, char** argv) {
    const std::string program = std::filesystem::path(argv[0]).filename().string();
    brondal::SetCrashFolderForTesting((std::filesystem::temp_directory_path() /
                                       (program + "-crashes-" + std::to_string(::getpid())))
                                          .string());
    brondal::InstallCrashHandler();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
