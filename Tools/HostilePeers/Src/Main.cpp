// CorvaneHostilePeers: runs misbehaving clients against a running service while one good
// client keeps calling UpdateDisplay, then reports the good client's latency and the
// service's resident memory (from /proc/<pid>/status).
//
//   CorvaneHostilePeers [--host A.B.C.D] [--port N] [--pid PID] [--duration SECONDS]
//                       [--trickle N] [--idle N] [--flood THREADS] [--noread N]
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "AddressText.h"
#include "Commands.h"
#include "DeleteLater.h"
#include "DirectoryClient.h"
#include "HostilePeers.h"
#include "Scheduler.h"
#include "Statistics.h"

namespace {

using namespace brondal;
using namespace brondal::corvane;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t RssSampleMs = 200;

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 53200;
    long pid = 0;
    unsigned durationS = 15;
    unsigned trickle = 0;
    unsigned idle = 0;
    unsigned flood = 0;
    unsigned noRead = 0;
};

bool Parse(int argc, char** argv, Options* options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const unsigned long value = std::strtoul(argv[i + 1], nullptr, 10);
        if (name == "--host") {
            options->host = argv[i + 1];
        } else if (name == "--port") {
            options->port = static_cast<std::uint16_t>(value);
        } else if (name == "--pid") {
            options->pid = static_cast<long>(value);
        } else if (name == "--duration") {
            options->durationS = static_cast<unsigned>(value);
        } else if (name == "--trickle") {
            options->trickle = static_cast<unsigned>(value);
        } else if (name == "--idle") {
            options->idle = static_cast<unsigned>(value);
        } else if (name == "--flood") {
            options->flood = static_cast<unsigned>(value);
        } else if (name == "--noread") {
            options->noRead = static_cast<unsigned>(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

// The service's resident set in KiB, 0 when unknown.
std::uint64_t RssKiB(long pid) {
    if (pid == 0) return 0;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

std::string Micros(std::uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f us", static_cast<double>(ns) / 1000.0);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    Options options;
    const bool parsed = Parse(argc, argv, &options);
    const std::optional<std::uint32_t> address = client::ParseIpv4(options.host);
    if (!parsed || !address) {
        std::cerr << "usage: CorvaneHostilePeers [--host A.B.C.D] [--port N] [--pid PID] "
                     "[--duration SECONDS] [--trickle N] [--idle N] [--flood THREADS] "
                     "[--noread N]\n";
        return 2;
    }
    // Thousands of connections need more descriptors than a shell's usual soft limit.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    client::ConnectSettings settings;
    settings.host = options.host;
    settings.port = options.port;
    std::unique_ptr<client::DirectoryClient> good;
    std::string error;
    if (Failed(client::DirectoryClient::Connect(settings, &good, &error))) {
        std::cerr << "error: " << error << '\n';
        return 1;
    }
    UUID base;
    GetScheduler().NewUuid(&base);
    const corvane::DisplayUpdate update = client::SimulatedDisplays(base, 0, 1).front();

    std::atomic<bool> done{false};
    const std::uint64_t rssBefore = RssKiB(options.pid);
    std::atomic<std::uint64_t> rssMax{rssBefore};
    std::thread sampler([&] {
        while (!done.load()) {
            const std::uint64_t rss = RssKiB(options.pid);
            if (rss > rssMax.load()) rssMax.store(rss);
            std::this_thread::sleep_for(std::chrono::milliseconds(RssSampleMs));
        }
    });

    hostile::HostilePeers peers(*address, options.port);
    if (options.trickle) peers.StartTrickle(options.trickle);
    if (options.idle) peers.StartIdle(options.idle);
    if (options.flood) peers.StartFlood(options.flood);
    if (options.noRead) peers.StartNoRead(options.noRead);

    std::vector<std::uint64_t> latencies;
    std::uint64_t failures = 0;
    const auto end = Clock::now() + std::chrono::seconds(options.durationS);
    for (auto start = Clock::now(); start < end; start = Clock::now()) {
        if (Failed(good->UpdateDisplay(update))) ++failures;
        latencies.push_back(static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()));
    }
    const std::uint64_t rssLoaded = RssKiB(options.pid);
    peers.Stop();
    done.store(true);
    sampler.join();

    const client::LatencySummary summary = client::Summarize(std::move(latencies));
    std::cout << "Good client, UpdateDisplay over " << options.durationS << " s: " << summary.count
              << " calls, " << failures << " failed, median " << Micros(summary.median) << ", p99 "
              << Micros(summary.p99) << ", max " << Micros(summary.max) << '\n';
    std::cout << "Hostile peers:\n" << peers.Report();
    if (options.pid != 0) {
        std::cout << "Service RSS: " << rssBefore / 1024 << " MiB before, " << rssMax.load() / 1024
                  << " MiB at most, " << rssLoaded / 1024 << " MiB at the end of the run, "
                  << RssKiB(options.pid) / 1024 << " MiB after the peers left\n";
    }
    good.reset();
    WaitForDeferredDeletions(5000);
    return 0;
}
