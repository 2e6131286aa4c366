#pragma once

namespace brondal::platform {

// Creates every missing folder along a UTF-8 path, one component at a time (either
// separator counts; a leading drive "C:" or the root needs none); true when the last one
// exists afterwards. Used by the crash filter too, so it allocates only small buffers.
bool CreateFolderChain(const char* path) noexcept;

}  // namespace brondal::platform
