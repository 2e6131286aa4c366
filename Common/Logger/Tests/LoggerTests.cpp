// Filtering, repeat suppression and the call-site forms of the logger.
#include <gtest/gtest.h>

#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "IRefCountImpl.h"
#include "LogCall.h"
#include "LogPerformanceTimer.h"
#include "Logger.h"
#include "ManualClockScheduler.h"
#include "PlatformLog.h"
#include "RefPtr.h"

namespace brondal {
namespace {

struct Record {
    std::uint32_t level;
    std::string file, function, message;
    std::int64_t time;
    std::uint32_t threadId, line;
};

class MemoryStore final : public ILogStore, public virtual IRefCountImpl {
public:
    Result Write(std::uint32_t level, std::string_view file, std::string_view function,
                 std::int64_t time, std::uint32_t threadId, std::uint32_t line,
                 std::string_view message) override {
        std::lock_guard lock(mutex_);
        records_.push_back({level, std::string(file), std::string(function), std::string(message),
                            time, threadId, line});
        return ResultOk;
    }
    std::vector<Record> Records() {
        std::lock_guard lock(mutex_);
        return records_;
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const Record& r : Records())
            out.push_back(r.message);
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<Record> records_;
};

constexpr const char* OneMinuteWarning =
    "WARNING -- The above log message has been detected 5 times in one second and will be "
    "suspended for 1 minute";
constexpr const char* TenMinuteWarning =
    "WARNING -- The above log message has been detected 50 times in the last minute and will "
    "be suspended for 10 minutes";

// A private logger with a memory store and a clock the test moves.
class LoggerTest : public ::testing::Test {
protected:
    LoggerTest() {
        logger = RefPtr<Logger>::Adopt(new Logger());
        store = RefPtr<MemoryStore>::Adopt(new MemoryStore());
        logger->AddStore(store.Get());
    }
    void LogFrom(std::uint32_t thread, std::uint32_t line, const char* message) {
        logger->Log(LogWarning, "file.cpp", "void f()", clock.GetLocalTimeMs(), thread, line,
                    message);
    }

    testing::ManualClockScheduler clock;
    RefPtr<Logger> logger;
    RefPtr<MemoryStore> store;
};

TEST_F(LoggerTest, LevelMaskAndDetailLimitFilter) {
    bool on = false;
    logger->IsEnabled(LogSevere, 0, &on);
    EXPECT_TRUE(on);
    logger->IsEnabled(LogSpew, 3, &on);
    EXPECT_FALSE(on);  // detail above the default limit of 0
    logger->SetDetailLimit(3);
    logger->IsEnabled(LogSpew, 3, &on);
    EXPECT_TRUE(on);

    logger->SetLevelMask(LogInformation);
    logger->IsEnabled(LogInformation, 0, &on);
    EXPECT_TRUE(on);
    logger->IsEnabled(LogSevere, 0, &on);
    EXPECT_FALSE(on);

    // A value that is not a single level passes when all its bits are in the mask.
    logger->SetLevelMask(LogConfig | LogInformation);
    logger->IsEnabled(3, 0, &on);
    EXPECT_TRUE(on);
    logger->IsEnabled(3 | LogWarning, 0, &on);
    EXPECT_FALSE(on);

    std::uint32_t value = 0;
    logger->GetLevelMask(&value);
    EXPECT_EQ(value, 3u);
    logger->GetDetailLimit(&value);
    EXPECT_EQ(value, 3u);
}

TEST_F(LoggerTest, SixInOneSecondAreWrittenWithTheWarningThenTheSiteIsSuspended) {
    for (int i = 0; i < 6; ++i) {
        LogFrom(7, 10, "again");
        clock.AdvanceMs(100);
    }
    std::vector<std::string> expected(6, "again");
    expected.push_back(OneMinuteWarning);
    EXPECT_EQ(store->Messages(), expected);
    const Record warning = store->Records().back();
    EXPECT_EQ(warning.level, static_cast<std::uint32_t>(LogWarning));
    EXPECT_EQ(warning.line, 10u);
    EXPECT_EQ(warning.threadId, 7u);

    LogFrom(7, 10, "dropped");  // within the minute
    clock.AdvanceMs(59000);
    LogFrom(7, 10, "dropped too");
    EXPECT_EQ(store->Messages().size(), 7u);
    clock.AdvanceMs(1000);  // the suspension has ended
    LogFrom(7, 10, "back");
    EXPECT_EQ(store->Messages().back(), "back");
}

TEST_F(LoggerTest, SitesAreCountedPerThreadAndPerLine) {
    for (int i = 0; i < 5; ++i) {
        LogFrom(1, 10, "x");
        LogFrom(2, 10, "x");
        LogFrom(1, 11, "x");
    }
    // Five occurrences each: the first only creates the entry, so no site reached five
    // timestamps yet.
    EXPECT_EQ(store->Messages().size(), 15u);
    LogFrom(1, 10, "x");
    EXPECT_EQ(store->Messages().back(), OneMinuteWarning);
    LogFrom(2, 10, "x");  // thread 2 is counted on its own
    EXPECT_EQ(store->Messages().back(), OneMinuteWarning);
    LogFrom(1, 11, "y");
    EXPECT_EQ(store->Messages().back(), OneMinuteWarning);
}

TEST_F(LoggerTest, FiftyInAMinuteSuspendForTenMinutes) {
    for (int i = 0; i < 51; ++i) {
        LogFrom(3, 20, "steady");
        clock.AdvanceMs(1000);  // never five within one second
    }
    const auto messages = store->Messages();
    ASSERT_EQ(messages.size(), 52u);
    EXPECT_EQ(messages[50], "steady");
    EXPECT_EQ(messages[51], TenMinuteWarning);
    clock.AdvanceMs(598000);
    LogFrom(3, 20, "dropped");
    EXPECT_EQ(store->Messages().size(), 52u);
    clock.AdvanceMs(2000);
    LogFrom(3, 20, "back");
    EXPECT_EQ(store->Messages().back(), "back");
}

TEST_F(LoggerTest, RecordsReachEveryStoreWithTheirFields) {
    auto second = RefPtr<MemoryStore>::Adopt(new MemoryStore());
    logger->AddStore(second.Get());
    logger->Log(LogSevere, "a.cpp", "int g(int)", 1234, 9, 42, "text");
    ASSERT_EQ(second->Records().size(), 1u);
    const Record r = second->Records()[0];
    EXPECT_EQ(r.level, static_cast<std::uint32_t>(LogSevere));
    EXPECT_EQ(r.file, "a.cpp");
    EXPECT_EQ(r.function, "int g(int)");
    EXPECT_EQ(r.time, 1234);
    EXPECT_EQ(r.threadId, 9u);
    EXPECT_EQ(r.line, 42u);
    EXPECT_EQ(r.message, "text");

    logger->RemoveStore(second.Get());
    logger->Log(LogSevere, "a.cpp", "int g(int)", 1234, 9, 43, "only the first");
    EXPECT_EQ(second->Records().size(), 1u);
    EXPECT_EQ(store->Records().size(), 2u);
}

TEST_F(LoggerTest, AFullRepeatTableStopsSuppressingNewSites) {
    for (std::uint32_t line = 0; line < Logger::MaxRepeatKeys + 5; ++line) {
        LogFrom(1, line, "fill");
    }
    EXPECT_EQ(logger->RepeatKeyCount(), Logger::MaxRepeatKeys);
    const std::size_t before = store->Messages().size();
    for (int i = 0; i < 20; ++i)
        LogFrom(1, Logger::MaxRepeatKeys + 1, "never suppressed");
    EXPECT_EQ(store->Messages().size(), before + 20);
}

TEST_F(LoggerTest, SitesOfEndedThreadsAreForgottenAndSuppressionGoesOn) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows keeps an ended thread's sites: its thread slots are never released";
#endif
    // A reader thread per connection: each logs from the same site, then ends.
    constexpr std::size_t Threads = 100;
    std::latch logged(Threads), release(1);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < Threads; ++t) {
        threads.emplace_back([&] {
            LogFrom(GetScheduler().GetCurrentThreadId(), 10, "reader");
            logged.count_down();
            release.wait();
        });
    }
    logged.wait();
    EXPECT_EQ(logger->RepeatKeyCount(), Threads);  // live threads keep theirs
    release.count_down();
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(logger->RepeatKeyCount(), 0u);

    for (int i = 0; i < 6; ++i)
        LogFrom(GetScheduler().GetCurrentThreadId(), 10, "main");
    EXPECT_EQ(store->Messages().back(), OneMinuteWarning);
}

// A thread_local object whose destructor logs, as its thread ends, is tracked like any
// statement and forgotten with the thread.
TEST_F(LoggerTest, AThreadLocalThatLogsAsItsThreadEndsLeavesNoSite) {
    struct LogsAtEnd {
        Logger* logger = nullptr;
        ~LogsAtEnd() {
            if (logger)
                logger->Log(LogWarning, "file.cpp", "void f()", 0,
                            GetScheduler().GetCurrentThreadId(), 11, "thread_local");
        }
    };
    std::thread([this] {
        thread_local LogsAtEnd atEnd;
        atEnd.logger = logger.Get();
    }).join();
    EXPECT_EQ(store->Messages(), std::vector<std::string>{"thread_local"});
#if !defined(_WIN32)
    EXPECT_EQ(logger->RepeatKeyCount(), 0u);
#endif
}

TEST(LogLevelNameTest, NamesAreFifteenCharactersAndOtherValuesAreEmpty) {
    EXPECT_EQ(LogLevelName(LogAll), "* All         *");
    EXPECT_EQ(LogLevelName(LogConfig), "* Config      *");
    EXPECT_EQ(LogLevelName(LogInformation), "* Information *");
    EXPECT_EQ(LogLevelName(LogWarning), "* Warning     *");
    EXPECT_EQ(LogLevelName(LogSevere), "* Severe      *");
    EXPECT_EQ(LogLevelName(LogSpew), "* Spew        *");
    EXPECT_EQ(LogLevelName(3), "");
}

// The call-site forms go through the process logger; each test attaches its own store and
// restores the settings it changed.
class LogCallTest : public ::testing::Test {
protected:
    LogCallTest() {
        GetLogger(logger.Receive());
        logger->GetLevelMask(&savedMask);
        logger->GetDetailLimit(&savedLimit);
        store = RefPtr<MemoryStore>::Adopt(new MemoryStore());
        logger->AddStore(store.Get());
    }
    ~LogCallTest() override {
        logger->RemoveStore(store.Get());
        logger->SetLevelMask(savedMask);
        logger->SetDetailLimit(savedLimit);
    }

    RefPtr<ILogger> logger;
    RefPtr<MemoryStore> store;
    std::uint32_t savedMask = 0, savedLimit = 0;
};

TEST_F(LogCallTest, MessageCarriesTheCallSite) {
    const std::uint32_t line = __LINE__ + 1;
    LOG_WARNING("value %d of %s, %zu", 5, "seven", std::size_t{8});  // %zu: ISO on Windows too
    ASSERT_EQ(store->Records().size(), 1u);
    const Record r = store->Records()[0];
    EXPECT_EQ(r.message, "value 5 of seven, 8");
    EXPECT_EQ(r.level, static_cast<std::uint32_t>(LogWarning));
    EXPECT_EQ(r.line, line);
    EXPECT_NE(r.file.find("LoggerTests.cpp"), std::string::npos);
    EXPECT_NE(r.function.find("MessageCarriesTheCallSite"), std::string::npos);
    EXPECT_EQ(r.threadId, GetScheduler().GetCurrentThreadId());
}

TEST_F(LogCallTest, DisabledStatementsFormatNothing) {
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    LOG_SPEW(3, "%d", count());  // detail above the limit
    logger->SetLevelMask(LogInformation);
    LOG_SEVERE("%d", count());
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(store->Records().empty());
}

TEST_F(LogCallTest, ReportsNameTheResultInHexadecimal) {
    EXPECT_EQ(LOG_REPORT(ResultFail), ResultFail);
    EXPECT_EQ(LOG_REPORT_ERROR(ResultFail, "Unable to create transport"), ResultFail);
    EXPECT_EQ(LOG_REPORT(ResultOk), ResultOk);  // Spew with detail 3: not written at limit 0
    logger->SetDetailLimit(3);
    EXPECT_EQ(LOG_REPORT(ResultOk), ResultOk);
    EXPECT_EQ(LOG_REPORT_ERROR(1, "count %u", 7u), 1);

    const auto records = store->Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].message, "RETURN Result: 0x80000000 - ");
    EXPECT_EQ(records[0].level, static_cast<std::uint32_t>(LogSevere));
    EXPECT_EQ(records[1].message, "RETURN Result: 0x80000000 - Unable to create transport");
    EXPECT_EQ(records[2].message, "RETURN Result: 0x0 - ");
    EXPECT_EQ(records[2].level, static_cast<std::uint32_t>(LogSpew));
    EXPECT_EQ(records[3].message, "RETURN Result: 0x1 - count 7");
}

TEST_F(LogCallTest, LongMessagesAreWrittenWhole) {
    const std::string text(5000, 'z');
    LOG_INFO("%s", text.c_str());
    LOG_REPORT_ERROR(ResultNullPointer, "%s", text.c_str());
    const auto records = store->Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, text);
    EXPECT_EQ(records[1].message, "RETURN Result: 0x80000001 - " + text);
}

TEST_F(LogCallTest, RuntimeMessagesReachTheLogger) {
    PLATFORM_LOG(LogSevere, "Unable to create thread, error code: %u", 11u);
    ASSERT_EQ(store->Records().size(), 1u);
    EXPECT_EQ(store->Records()[0].message, "Unable to create thread, error code: 11");
    EXPECT_EQ(store->Records()[0].level, static_cast<std::uint32_t>(LogSevere));
}

TEST_F(LogCallTest, PerformanceTimerLogsItsStatisticsEveryInterval) {
    LogPerformanceTimer timer("Write", 3, false, true, 0);
    for (int i = 0; i < 7; ++i) {
        std::int64_t start = 0;
        timer.Start(&start);
        timer.Stop(start);
    }
    EXPECT_EQ(timer.SampleCount(), 7u);
    const auto records = store->Records();
    ASSERT_EQ(records.size(), 2u);  // after the third and the sixth sample
    for (const Record& r : records) {
        EXPECT_EQ(r.function, "LogPerformanceTimer::Log");
        EXPECT_EQ(r.level, static_cast<std::uint32_t>(LogInformation));
        EXPECT_EQ(r.message.rfind("Write ", 0), 0u) << r.message;
        EXPECT_NE(r.message.find(" AVG - "), std::string::npos);
        EXPECT_NE(r.message.find(" MIN - "), std::string::npos);
        EXPECT_NE(r.message.find(" MAX"), std::string::npos);
    }
}

TEST_F(LogCallTest, PerformanceTimerPerEventLinesAtSpewDetailOne) {
    logger->SetDetailLimit(1);
    LogPerformanceTimer timer("Send", 0, true, false, 0);
    std::int64_t start = 0;
    timer.Start(&start);
    timer.Stop(start);
    const auto records = store->Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message.rfind("Send START TIMESTAMP - Number 0 - Time 0.00 ", 0), 0u);
    EXPECT_EQ(records[1].message.rfind("Send END TIMESTAMP - Number 0 - Time ", 0), 0u);
    EXPECT_EQ(records[0].level, static_cast<std::uint32_t>(LogSpew));
}

TEST_F(LogCallTest, ManyThreadsLogConcurrently) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i)
                LOG_INFO("line %d", i);  // suppressed after a few
        });
    }
    for (auto& t : threads)
        t.join();
    // Per thread: five written, the sixth with its warning, the rest dropped (the real
    // clock does not move a minute during the test).
    EXPECT_EQ(store->Records().size(), 4u * 7u);
}

}  // namespace
}  // namespace brondal
