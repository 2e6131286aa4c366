// The program: installs or removes itself as a system service, runs as that service when
// the service manager starts it without arguments, or runs as a plain process with "-e".
#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "CorvaneDirectoryServiceMain.h"
#include "CurrentDirectory.h"
#include "ProgramArguments.h"
#include "ServiceManager.h"
#include "StopSignals.h"

int main(int argc, char** argv) {
    using namespace brondal;
    using namespace brondal::corvane::server;

    // First of all, while this is the only thread: every thread started from here on
    // inherits the mask, so SIGINT and SIGTERM reach only the thread that watches for them
    // and become the stop control.
    BlockStopSignals();

    const std::vector<std::string> arguments = ProgramArguments(argc, argv);
    const ProgramContext context{
        SystemServiceManager(),
        &CurrentDirectory,
        [] { return RefPtr<IService>(CorvaneDirectoryServiceMain::GetInstance()); },
        stdout,
    };
    return RunProgram(arguments, context);
}
