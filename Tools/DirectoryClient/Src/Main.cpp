// CorvaneDirectoryClient: the directory service's command-line client and load tool.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "DeleteLater.h"
#include "StopSignals.h"
#include "TcpSocket.h"

int main(int argc, char** argv) {
    using namespace brondal;
    using namespace brondal::corvane::client;

    // Before any thread exists, so that only the watcher receives SIGINT and SIGTERM.
    BlockStopSignals();
    // A peer that closes while a frame is being written must not end the program.
    platform::TcpIgnoreBrokenPipes();

    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    if (!parsed.ok) {
        std::cerr << "CorvaneDirectoryClient: " << parsed.error
                  << " (see CorvaneDirectoryClient --help)\n";
        return ExitUsage;
    }

    StopFlag stop;
    int code = ExitOk;
    {
        // The first signal ends the command at its next wait; a second one, for a command
        // stuck in a request towards a service that does not answer, ends the process.
        auto watcher = StopSignalWatcher::Start([&stop](int signal) {
            if (stop.IsSet()) ::_exit(128 + signal);
            stop.Request();
        });
        code = RunCommand(parsed.options, stop, std::cout, std::cerr);
    }
    std::cout.flush();
    // Connections and their threads are destroyed by the deletion thread; let them go
    // before the process ends.
    WaitForDeferredDeletions(5000);
    return code;
}
