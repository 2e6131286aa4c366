// The main function of every test program. Test programs run as root on CI, so without this
// a crash or an escaping exception in any test would write its report into the system's
// crash folder; here they go to a temporary folder that appears only when something is
// written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "CrashHandler.h"
#include "DeleteLater.h"
#include "LogFolderPath.h"
#include "ThreadRegistry.h"

namespace {

// Objects retired by the tests (connections and their threads) must be gone before the
// process ends, or the leak checker and the sanitizers see them half torn down. A
// connection is handed to the deletion thread only when its last user lets go, which may
// be a thread still finishing its last wait: so wait while threads keep going away, until
// only the deletion thread is left.
void WaitForRetiredObjects() {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::size_t last = brondal::ThreadRegistry::Instance().Count();
    auto lastChange = Clock::now();
    while (true) {
        brondal::WaitForDeferredDeletions(100);
        const std::size_t now = brondal::ThreadRegistry::Instance().Count();
        if (now <= 1 || Clock::now() > deadline) return;
        if (now != last) {
            last = now;
            lastChange = Clock::now();
        } else if (Clock::now() - lastChange > std::chrono::milliseconds(300)) {
            return;  // what remains lives as long as the process
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = std::filesystem::path(argv[0]).filename().string();
    brondal::SetCrashFolderForTesting((std::filesystem::temp_directory_path() /
                                       (program + "-crashes-" + std::to_string(::getpid())))
                                          .string());
    brondal::InstallCrashHandler();
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    WaitForRetiredObjects();
    return result;
}
