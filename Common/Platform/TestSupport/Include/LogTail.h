#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>

#include "WaitFor.h"

namespace brondal::testing {

// What the log files of another process (those in folder whose names start with prefix)
// gained since construction. Tests of a real program read only that, and delete nothing.
class LogTail {
public:
    LogTail(std::string folder, std::string prefix)
        : folder_(std::move(folder)), prefix_(std::move(prefix)), offsets_(Sizes()) {}

    std::string Text() const {
        std::string text;
        for (const auto& [path, size] : Sizes()) {
            std::ifstream file(path, std::ios::binary);
            const auto known = offsets_.find(path);
            file.seekg(static_cast<std::streamoff>(known == offsets_.end() ? 0 : known->second));
            std::ostringstream added;
            added << file.rdbuf();
            text += added.str();
        }
        return text;
    }
    bool WaitFor(const char* text) const {
        return PollUntil([&] { return Text().find(text) != std::string::npos; });
    }

private:
    std::map<std::string, std::uintmax_t> Sizes() const {
        std::map<std::string, std::uintmax_t> sizes;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) {
            if (entry.path().filename().string().rfind(prefix_, 0) == 0) {
                sizes[entry.path().string()] = entry.file_size(error);
            }
        }
        return sizes;
    }

    std::string folder_;
    std::string prefix_;
    std::map<std::string, std::uintmax_t> offsets_;
};

}  // namespace brondal::testing
