#pragma once

#include <string>
#include <string_view>

#include "FolderProvider.h"

namespace brondal {

// The folder a component keeps its logs in:
//   <base>/<maker or "Brondal">[/<user>][/<product>][/<subPath>]
// The base is the first that is known of: the common application-data folder (when the
// process may create folders there), the environment variables "Temp" and "Tmp", the
// user's local and then roaming application-data folder. Backslashes in the three parts
// become "/". With create, every missing folder along the path is created (failures are
// not reported: writing into the folder fails later). The result has no trailing "/".
std::string LogFolderPath(std::string_view maker, std::string_view product,
                          std::string_view subPath, bool create, bool withUser);
std::string LogFolderPath(FolderProvider& folders, std::string_view maker, std::string_view product,
                          std::string_view subPath, bool create, bool withUser);

// Where crash logs and crash reports go: LogFolderPath("", "", "", create, false), unless
// a test has redirected it.
std::string CrashFolder(bool create);

// Redirects CrashFolder to folder (empty: back to the rule) and returns the previous
// redirection, for the caller to restore. For tests, which must not write into the
// system's folders; crash handlers installed earlier keep their folder until installed
// again.
std::string SetCrashFolderForTesting(std::string folder);

}  // namespace brondal
