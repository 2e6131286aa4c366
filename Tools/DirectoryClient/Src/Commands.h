#pragma once

#include <ostream>

#include "CommandLine.h"
#include "DirectoryClient.h"
#include "StopFlag.h"

namespace brondal::corvane::client {

enum ExitCode : int {
    ExitOk = 0,
    // The service could not be reached or answered with a failure.
    ExitServiceError = 1,
    ExitUsage = 2,
};

// Runs the parsed command; results go to out, the one-line errors to err. Long-lived
// commands end when stop is raised.
int RunCommand(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err);

int RunRegister(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err);
int RunList(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err);
int RunSimulate(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err);
int RunLoad(const Options& options, StopFlag& stop, std::ostream& out, std::ostream& err);
int RunConnectionsLoad(const Options& options, StopFlag& stop, std::ostream& out,
                       std::ostream& err);

ConnectSettings SettingsFor(const Options& options, bool callbacks, bool keepAlive);

// The displays of simulate: identifiers that share a random prefix of this run, names and
// addresses numbered from 1.
std::vector<DisplayUpdate> SimulatedDisplays(const UUID& base, std::uint32_t first,
                                             std::uint32_t count);

// Registers every display, sharing the work among up to `workers` threads on the one
// client, until done or stopped. The first failure, or 0.
Result RegisterAll(DirectoryClient& client, const std::vector<DisplayUpdate>& displays,
                   unsigned workers, StopFlag* stop = nullptr);

}  // namespace brondal::corvane::client
