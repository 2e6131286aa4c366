#include "ChildProcess.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "PlatformLog.h"

extern char** environ;

namespace brondal::platform {

bool RunAndWait(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return false;
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // A program started while SIGINT and SIGTERM are blocked here (see StopSignals.h) would
    // otherwise keep them blocked and could not be interrupted.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int error = ::posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        PLATFORM_LOG(LogSevere, "Unable to start %s, error code: %d", argv[0], error);
        return false;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace brondal::platform
