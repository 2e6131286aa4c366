#pragma once

#include <cstdint>
#include <string>

#include "ILogger.h"
#include "ResultCodes.h"

namespace brondal {

// Creates a store that writes log records as lines to files
//   <folder>/<prefix>_<year>_<month>_<day>_<index>.log
// named after the local date on which each is opened, moving to the next index when a
// file grows past maxSize bytes (4 GiB or more: never), and keeping at most the seven
// latest files of the prefix in the folder. The folder must exist. The store has one
// reference, for the caller. ResultNullPointer for a null store.
[[nodiscard]] Result CreateFileStore(const std::string& folder, const std::string& prefix,
                                     std::uint64_t maxSize, ILogStore** store);

}  // namespace brondal
