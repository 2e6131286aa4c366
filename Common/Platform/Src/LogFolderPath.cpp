#include "LogFolderPath.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "FolderChain.h"

namespace brondal {

namespace {

// Also on Windows, whose file calls all take '/' as well as a backslash: one rule for both
// systems, and the file store and the crash log append '/' to the folder anyway.
constexpr char Separator = '/';
constexpr std::string_view DefaultMaker = "Brondal";

// Callers name sub-folders the way they were written for every platform ("A\B").
std::string WithSeparators(std::string_view part) {
    std::string text(part);
    std::replace(text.begin(), text.end(), '\\', Separator);
    return text;
}

std::string BaseFolder(FolderProvider& folders) {
    std::string base = folders.CommonAppDataFolder();
    if (base.empty()) base = folders.EnvironmentVariable("Temp");
    if (base.empty()) base = folders.EnvironmentVariable("Tmp");
    if (base.empty()) base = folders.LocalAppDataFolder();
    if (base.empty()) base = folders.RoamingAppDataFolder();
    return base;
}

// Reached through a function so that redirecting from a static initialiser (as test
// programs do) cannot run before the redirection exists.
struct CrashFolderRedirect {
    std::mutex lock;
    std::string folder;
};

CrashFolderRedirect& Redirect() {
    static CrashFolderRedirect redirect;
    return redirect;
}

}  // namespace

std::string LogFolderPath(FolderProvider& folders, std::string_view maker, std::string_view product,
                          std::string_view subPath, bool create, bool withUser) {
    // With no base folder at all the path starts at the root ("/Brondal/..."): creating it
    // fails for anyone but root, who always has the common folder, so logs are simply lost
    // rather than written somewhere unexpected.
    std::string path = BaseFolder(folders);
    path += Separator;
    path += maker.empty() ? std::string(DefaultMaker) : WithSeparators(maker);
    if (withUser && !path.empty()) {
        path += Separator;
        path += folders.UserName();
    }
    if (!product.empty()) {
        path += Separator;
        path += WithSeparators(product);
    }
    if (!subPath.empty()) {
        path += Separator;
        path += WithSeparators(subPath);
    }
    while (path.size() > 1 && path.back() == Separator)
        path.pop_back();
    if (create && !path.empty()) platform::CreateFolderChain(path.c_str());
    return path;
}

std::string LogFolderPath(std::string_view maker, std::string_view product,
                          std::string_view subPath, bool create, bool withUser) {
    return LogFolderPath(SystemFolderProvider(), maker, product, subPath, create, withUser);
}

std::string CrashFolder(bool create) {
    std::string folder;
    {
        std::lock_guard lock(Redirect().lock);
        folder = Redirect().folder;
    }
    if (folder.empty()) return LogFolderPath("", "", "", create, false);
    if (create) platform::CreateFolderChain(folder.c_str());
    return folder;
}

std::string SetCrashFolderForTesting(std::string folder) {
    std::lock_guard lock(Redirect().lock);
    return std::exchange(Redirect().folder, std::move(folder));
}

}  // namespace brondal
