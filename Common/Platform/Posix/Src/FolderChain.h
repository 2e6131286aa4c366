#pragma once

#include "PosixFolderProvider.h"

namespace brondal::platform {

// Creates every missing folder along a path; see PosixFolderProvider::CreateFolderChain.
inline bool CreateFolderChain(const char* path) noexcept {
    return PosixFolderProvider::CreateFolderChain(path);
}

}  // namespace brondal::platform
