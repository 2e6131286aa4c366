// The display table: versioning, purging, the statistics line and the object's life.
#include "CorvaneDirectoryService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "DirectoryTestSupport.h"
#include "ILogger.h"
#include "IRefCountImpl.h"
#include "ManualClockScheduler.h"
#include "RefPtr.h"
#include "WaitFor.h"

namespace brondal::corvane::server {
namespace {

using brondal::testing::ManualClockScheduler;

// A registry whose maintenance thread never starts: the test runs the passes itself.
class ManualRegistry final : public CorvaneDirectoryService {
public:
    using CorvaneDirectoryService::CorvaneDirectoryService;
    void Start(std::int32_t timeoutMs) override { startTimeouts.push_back(timeoutMs); }
    std::vector<std::int32_t> startTimeouts;
};

// Keeps the messages of Information and above, "<level>:<message>" for Severe.
class MemoryStore final : public ILogStore, public virtual IRefCountImpl {
public:
    Result Write(std::uint32_t level, std::string_view, std::string_view, std::int64_t,
                 std::uint32_t, std::uint32_t, std::string_view message) override {
        std::lock_guard lock(mutex_);
        if (level != LogSpew || message.rfind("Display", 0) == 0)
            lines_.push_back((level == LogSevere ? "Severe:" : "") + std::string(message));
        return ResultOk;
    }
    std::vector<std::string> Starting(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const std::string& line : lines_)
            if (prefix.empty() || line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The process logger suppresses a call site that repeats within a minute of its clock, so
// every test starts a day after the previous one (and long before the real date).
std::int64_t NextStartMs() {
    static std::int64_t day = 0;
    return 1000000000000 + 86400000 * day++;
}

const UUID DisplayA(0x1a2b3c4d, 1, 2, 0x0102030405060708);
const UUID DisplayB(0x2a2b3c4d, 1, 2, 0x0102030405060708);

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() {
        clock.SetSleepHook([this](std::uint32_t ms) { sleeps.push_back(ms); });
        GetLogger(logger.Receive());
        logger->GetDetailLimit(&savedLimit);
        logger->SetDetailLimit(2);
        logger->AddStore(store.Get());
        registry = RefPtr<ManualRegistry>::Adopt(
            new ManualRegistry(testing::FindFreePortPair(), testing::Loopback));
    }
    ~RegistryTest() override {
        registry.Reset();
        logger->RemoveStore(store.Get());
        logger->SetDetailLimit(savedLimit);
    }

    std::uint64_t Now() { return static_cast<std::uint64_t>(clock.GetTimeMs()); }
    Result Update(const UUID& id, const std::string& name = "Lobby") {
        return registry->UpdateDisplay(id, name, "Lobby screen", 0x0a000102, 5000, 1, "");
    }
    void Passes(int count) {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(registry->ThreadFunc());
    }

    ManualClockScheduler clock{NextStartMs()};
    std::vector<std::uint32_t> sleeps;
    RefPtr<ILogger> logger;
    RefPtr<MemoryStore> store = RefPtr<MemoryStore>::Adopt(new MemoryStore());
    std::uint32_t savedLimit = 0;
    RefPtr<ManualRegistry> registry;
};

TEST_F(RegistryTest, LifeBeforeAndAfterInitialize) {
    EXPECT_EQ(Update(DisplayA), ResultNotInitialized);  // silently
    EXPECT_EQ(registry->GetDisplayCount(), 0u);
    EXPECT_EQ(registry->GetCounters().updateCount, 0u);

    EXPECT_EQ(registry->Initialize(), ResultOk);
    EXPECT_EQ(registry->Initialize(), ResultAlreadyInitialized);
    EXPECT_EQ(registry->startTimeouts, std::vector<std::int32_t>{Scheduler::Infinite});
    const std::vector<std::string> expected = {
        "Directory service created", "Initialization started",
        "Directory service initialization completed",
        "Severe:RETURN Result: 0x8000000c - Already initialized"};
    EXPECT_EQ(store->Starting(""), expected);
}

TEST_F(RegistryTest, VersionFollowsContentNotRefreshes) {
    registry->Initialize();
    EXPECT_EQ(registry->GetDirectoryVersion(), 0u);
    registry->UpdateDisplay(DisplayA, "n", "s", 0xc0a80001, 7000, 3, "e");
    EXPECT_EQ(registry->GetDirectoryVersion(), Now());
    EXPECT_EQ(
        store->Starting("Display"),
        std::vector<std::string>{"Display Updated - " + DisplayA.ToString() + " n c0a80001 7000"});

    // An identical refresh extends the display's life only.
    const std::uint64_t version = Now();
    clock.AdvanceMs(1000);
    registry->UpdateDisplay(DisplayA, "n", "s", 0xc0a80001, 7000, 3, "e");
    EXPECT_EQ(registry->GetDirectoryVersion(), version);
    const DisplayRecord stored = registry->GetDisplay(DisplayA).value();
    EXPECT_EQ(stored, (DisplayRecord{DisplayA, "s", "n", 0xc0a80001, 7000, 3, "e", 0}));
    EXPECT_EQ(stored.lastUpdateTime, Now());

    // Each step changes one field; the second display is a change too.
    const DisplayRecord steps[] = {{DisplayA, "s", "n2", 0xc0a80001, 7000, 3, "e", 0},
                                   {DisplayA, "s2", "n2", 0xc0a80001, 7000, 3, "e", 0},
                                   {DisplayA, "s2", "n2", 1, 7000, 3, "e", 0},
                                   {DisplayA, "s2", "n2", 1, 1, 3, "e", 0},
                                   {DisplayA, "s2", "n2", 1, 1, 4, "e", 0},
                                   {DisplayA, "s2", "n2", 1, 1, 4, "", 0},
                                   {DisplayB, "s2", "n2", 1, 1, 4, "", 0}};
    for (const DisplayRecord& r : steps) {
        clock.AdvanceMs(1000);
        registry->UpdateDisplay(r.displayId, r.displayName, r.secondaryName, r.address, r.port,
                                r.tag, r.extra);
        EXPECT_EQ(registry->GetDirectoryVersion(), Now()) << &r - steps;
    }
    EXPECT_EQ(registry->GetCounters().updateCount, 9u);

    // A client whose version equals the current one gets nothing, so no two states of the
    // table share a version, even within one millisecond or after the clock went back.
    Update(DisplayA, "same ms");
    EXPECT_EQ(registry->GetDirectoryVersion(), Now() + 1);
    clock.AdvanceMs(-60000);
    Update(DisplayA, "clock set back");
    EXPECT_EQ(registry->GetDirectoryVersion(), Now() + 60002);
}

TEST_F(RegistryTest, PurgeOnEvery301stPassWithTheBoundaryAt300000Ms) {
    registry->Initialize();
    Update(DisplayA, "Old");
    clock.AdvanceMs(1);
    Update(DisplayB, "Fresh");
    clock.AdvanceMs(300000);  // A is 300001 ms old, B exactly 300000

    Passes(300);
    EXPECT_EQ(registry->GetDisplayCount(), 2u);
    Passes(1);
    EXPECT_FALSE(registry->GetDisplay(DisplayA).has_value());
    EXPECT_TRUE(registry->GetDisplay(DisplayB).has_value());
    EXPECT_EQ(registry->GetDirectoryVersion(), Now());
    EXPECT_EQ(registry->GetCounters().purgeCount, 1u);
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "Purged - %s Old a000102 5000 (curTime = %llu  lastUpdateTime = %llu)",
                  DisplayA.ToString().c_str(), static_cast<unsigned long long>(Now()),
                  static_cast<unsigned long long>(Now() - 300001));
    EXPECT_EQ(store->Starting("Purged"), std::vector<std::string>{expected});

    // The count starts again. Ages are measured on the monotonic clock: the wall clock set
    // back (an NTP correction) or an hour forward purges nothing refreshed since.
    Update(DisplayA);
    Update(DisplayB);
    const std::uint64_t version = registry->GetDirectoryVersion();
    clock.AdvanceMs(-1000);
    Passes(301);
    clock.SetTimeMs(clock.GetTimeMs() + 3600000);
    Passes(301);
    EXPECT_EQ(registry->GetDisplayCount(), 2u);
    EXPECT_EQ(registry->GetDirectoryVersion(), version);
    clock.AdvanceMs(300001);
    Passes(301);
    EXPECT_EQ(registry->GetDisplayCount(), 0u);
    EXPECT_EQ(sleeps, std::vector<std::uint32_t>(1204, CorvaneDirectoryService::PassSleepMs));
}

TEST_F(RegistryTest, StatisticsLineOncePerMinuteThenCountersRestart) {
    registry->Initialize();
    Update(DisplayA);
    Update(DisplayB);
    // A subscriber whose callback connection never takes its one batch.
    const UUID request(7, 0, 0, 1);
    registry->AddNotify(request, UUID(7, 0, 0, 2), CorvaneDirectoryService::DirectoryObjectId);
    std::uint64_t version = 0;
    ASSERT_EQ(registry->RequestDisplayEnumeration(request, false, 0, &version), ResultOk);
    Passes(300);  // the first pass starts the first minute
    clock.AdvanceMs(300001);
    Update(DisplayB);
    Passes(1);  // purges A, then writes the line

    std::vector<std::string> lines = store->Starting("CDS_STATS");
    ASSERT_EQ(lines.size(), 1u);
    int v[10] = {};
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "CDS_STATS, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d,",
                          &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]),
              10);
    // Displays, enumerations, updates, purges, callback connections and queue, processor
    // usage (needs two samples); threads, open descriptors, resident bytes.
    EXPECT_EQ(std::vector<int>(v, v + 7), (std::vector<int>{1, 1, 3, 1, 1, 1, -1}));
    EXPECT_TRUE(v[7] >= 1 && v[8] >= 3 && v[9] > 4096) << lines[0];
    EXPECT_EQ(lines[0].back(), ',');
    EXPECT_EQ(registry->GetCounters().updateCount + registry->GetCounters().purgeCount, 0u);

    clock.AdvanceMs(60000);
    Passes(1);
    EXPECT_EQ(store->Starting("CDS_STATS").size(), 1u);
    clock.AdvanceMs(1);
    Passes(1);
    lines = store->Starting("CDS_STATS");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("CDS_STATS, 1, 0, 0, 0, 1, 1, ", 0), 0u) << lines[1];
}

TEST_F(RegistryTest, InitializeNamesTheNetworkStepThatFailedAndStaysUninitialized) {
    // Somebody else listens on the callback port.
    const std::uint16_t port = registry->GetPort();
    const int blocker = platform::TcpCreate();
    ASSERT_EQ(platform::TcpBind(blocker, testing::Loopback, static_cast<std::uint16_t>(port + 1)),
              0);
    platform::TcpListen(blocker);
    EXPECT_EQ(registry->Initialize(), ResultFail);
    platform::TcpClose(blocker);
    EXPECT_EQ(Update(DisplayA), ResultNotInitialized);
    EXPECT_TRUE(registry->startTimeouts.empty());

    // The first one still holds the request port.
    auto second = RefPtr<ManualRegistry>::Adopt(new ManualRegistry(port, testing::Loopback));
    EXPECT_EQ(second->Initialize(), ResultFail);
    std::vector<std::string> failures;
    for (const std::string& line : store->Starting("Severe:"))
        if (line.find("Unable to") != std::string::npos) failures.push_back(line);
    const std::vector<std::string> expected = {
        "Severe:RETURN Result: 0x80000000 - Unable to initialize callback transport",
        "Severe:RETURN Result: 0x80000000 - Unable to initialize transport"};
    EXPECT_EQ(failures, expected);
}

// The real maintenance thread against updates from several threads; meant for the thread
// sanitizer as much as for the assertions.
TEST(RegistryThreadTest, ConcurrentUpdatesWhileTheMaintenancePassRuns) {
    ManualClockScheduler clock{NextStartMs()};
    std::atomic<int> passes{0};
    clock.SetSleepHook([&](std::uint32_t) {
        ++passes;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    auto registry = RefPtr<CorvaneDirectoryService>::Adopt(
        new CorvaneDirectoryService(testing::FindFreePortPair(), testing::Loopback));
    ASSERT_EQ(registry->Initialize(), ResultOk);

    constexpr int Threads = 3, Displays = 50, Rounds = 40;
    std::vector<std::thread> updaters;
    for (int t = 0; t < Threads; ++t) {
        updaters.emplace_back([&, t] {
            for (std::uint32_t round = 0; round < Rounds; ++round)
                for (std::uint64_t d = 0; d < Displays; ++d)
                    registry->UpdateDisplay(UUID(t, 0, 0, d), "n", "s", round, 1, 1, "");
        });
    }
    // Purge scans that find nothing stale run meanwhile.
    ASSERT_TRUE(brondal::testing::PollUntil([&] { return passes.load() > 700; }));
    for (std::thread& t : updaters)
        t.join();
    EXPECT_EQ(registry->GetDisplayCount(), static_cast<std::size_t>(Threads * Displays));
    EXPECT_EQ(registry->GetCounters().updateCount,
              static_cast<std::uint32_t>(Threads * Displays * Rounds));
    EXPECT_EQ(registry->GetDisplay(UUID(1, 0, 0, 7))->address, Rounds - 1u);

    clock.AdvanceMs(300001);
    EXPECT_TRUE(brondal::testing::PollUntil([&] { return registry->GetDisplayCount() == 0; }));
    registry.Reset();  // stops the running thread
}

}  // namespace
}  // namespace brondal::corvane::server
