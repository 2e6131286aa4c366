// The /proc parsing on sample texts, and the live readers on this process.
#include "ProcessStatistics.h"

#include <sys/resource.h>

#include <algorithm>

#include "ProcessLimits.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace brondal {
namespace {

constexpr std::uint64_t TickAt100Hz = 100000;  // in 100 ns units

TEST(ProcessStatisticsTest, AggregateCpuLine) {
    const std::optional<CpuTimes> times = ParseProcStatCpuTimes(
        "cpu  378708 12 55240 281071 399 7 92 342 1000 20\ncpu0 1 0 2 3 0 0 0 0 0 0\n", 100);
    ASSERT_TRUE(times.has_value());
    // Guest time is part of user and nice already.
    EXPECT_EQ(times->user, (378708u + 12u) * TickAt100Hz);
    EXPECT_EQ(times->kernel, (55240u + 281071u + 399u + 7u + 92u + 342u) * TickAt100Hz);

    // Old kernels stop after idle; a rate that does not divide a second.
    EXPECT_EQ(ParseProcStatCpuTimes("cpu 1 2 3 4\n", 100)->kernel, 7 * TickAt100Hz);
    EXPECT_EQ(ParseProcStatCpuTimes("cpu  3 0 0 1\n", 300)->kernel, 33333u);

    // Single processors are not the machine; too few fields, garbage or no rate are nothing.
    for (const char* bad : {"cpu0 1 2 3 4\n", "cpu 1 2 3\n", "cpu x 2 3 4\n", ""})
        EXPECT_FALSE(ParseProcStatCpuTimes(bad, 100)) << bad;
    EXPECT_FALSE(ParseProcStatCpuTimes("cpu 1 2 3 4\n", 0));
}

TEST(ProcessStatisticsTest, StatusLines) {
    const char* status = "Name:\tx\nVmHWM:\t 4000 kB\nVmRSS:\t    2016 kB\nThreads:\t17\n";
    EXPECT_EQ(ParseStatusThreads(status), 17);
    EXPECT_EQ(ParseStatusResidentBytes(status), 2016u * 1024u);
    // Kernel threads have no memory lines; a line must start with its name.
    EXPECT_FALSE(ParseStatusThreads("Name:\tkworker\nXThreads:\t3\n"));
    EXPECT_FALSE(ParseStatusResidentBytes("Name:\tkworker\n"));
    EXPECT_FALSE(ParseStatusResidentBytes("VmRSS:\t2016 MB\n"));
}

TEST(ProcessStatisticsTest, LiveReadersDescribeThisProcess) {
    const std::optional<std::int32_t> descriptors = ReadOpenFileDescriptorCount();
    ASSERT_TRUE(descriptors.has_value());
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(ReadOpenFileDescriptorCount(), *descriptors + 1);
    ::close(fd);

    EXPECT_GE(ReadProcessThreadCount().value_or(0), 1);
    EXPECT_GT(ReadResidentSetBytes().value_or(0), 0u);
    const std::optional<CpuTimes> system = ReadSystemCpuTimes();
    ASSERT_TRUE(system && ReadProcessCpuTimes());
    EXPECT_GT(system->kernel, 0u);
}

}  // namespace
}  // namespace brondal

namespace brondal {
namespace {

TEST(ProcessLimitsTest, OpenFileLimitIsRaisedToTheHardLimit) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_max, 256);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const std::optional<OpenFileLimit> limit = RaiseOpenFileLimit();
    ASSERT_TRUE(limit.has_value());
    EXPECT_EQ(limit->before, lowered.rlim_cur);
    EXPECT_EQ(limit->after, saved.rlim_max);
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace brondal
