// The process set-up of every fuzz target, and (built with BRONDAL_FUZZ_REPLAY) the replay
// program of the normal build: it feeds every file of the folders it is given to the
// target, so that each corpus entry and each crash ever found stays a regression test.
//
//   <target>Replay DIR...                  replays every file in each DIR, in name order
//   <target>Replay --write-seeds DIR        writes the target's seeds into DIR
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "LogFolderPath.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    brondal::fuzz::FuzzInput input(data, size);
    brondal::fuzz::FuzzOne(input);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Escaping exceptions are recorded in the crash folder, which for root is the system's.
    brondal::SetCrashFolderForTesting(
        (std::filesystem::temp_directory_path() / ("fuzz-crashes-" + std::to_string(::getpid())))
            .string());
    return 0;
}

#ifdef BRONDAL_FUZZ_REPLAY

namespace {

namespace fs = std::filesystem;

bool ReadFile(const fs::path& path, brondal::fuzz::Bytes* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int WriteSeeds(const fs::path& folder) {
    fs::create_directories(folder);
    for (const brondal::fuzz::Seed& seed : brondal::fuzz::FuzzSeeds()) {
        std::ofstream out(folder / seed.name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(seed.bytes.data()),
                  static_cast<std::streamsize>(seed.bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", (folder / seed.name).string().c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--write-seeds") return WriteSeeds(args[1]);

    std::size_t replayed = 0;
    for (const std::string& arg : args) {
        std::vector<fs::path> files;
        if (fs::is_directory(arg)) {
            for (const auto& entry : fs::directory_iterator(arg))
                // Dot files keep empty folders in version control.
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                    files.push_back(entry.path());
        } else if (fs::exists(arg)) {
            files.push_back(arg);
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            brondal::fuzz::Bytes bytes;
            if (!ReadFile(file, &bytes)) {
                std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
                return 1;
            }
            // Named first, so that a failing input is known even when it aborts.
            std::fprintf(stderr, "%s\n", file.string().c_str());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return replayed == 0 ? 1 : 0;
}

#endif
