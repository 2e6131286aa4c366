// Log files: their names, their lines, moving on to the next file, and which files are kept.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FileStore.h"
#include "ManualClockScheduler.h"
#include "RefPtr.h"

namespace brondal {
namespace {

namespace fs = std::filesystem;

const std::string Today = "DirectoryService_2017_07_11_";

// Everything but the message and the thread is fixed by the records the tests write.
std::string Line(std::string_view message, std::uint32_t thread = 77) {
    return "07/11/2017 09:05:03.042\t" + std::to_string(thread) +
           "\t* Severe      *\tvoid Serve()\t" + std::string(message) + "\tServe.cpp\t12\r\n";
}

Result Log(ILogStore& store, std::string_view message, std::uint32_t thread = 77) {
    return store.Write(LogSevere, "Serve.cpp", "void Serve()", 0, thread, 12, message);
}

class FileStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/FileStoreTest-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { fs::remove_all(folder_); }

    RefPtr<ILogStore> Open(std::uint64_t maxSize, const std::string& prefix = "DirectoryService") {
        RefPtr<ILogStore> store;
        EXPECT_EQ(CreateFileStore(folder_, prefix, maxSize, store.Receive()), ResultOk);
        return store;
    }
    void Touch(const std::string& name, std::size_t size = 0) {
        std::ofstream(folder_ + "/" + name) << std::string(size, 'x');
    }
    std::string Read(const std::string& name) const {
        std::ostringstream text;
        text << std::ifstream(folder_ + "/" + name, std::ios::binary).rdbuf();
        return text.str();
    }
    std::set<std::string> Files() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    testing::ManualClockScheduler clock_{TimePartsToMs({2017, 7, 11, 9, 5, 3, 42})};
    std::string folder_;
};

TEST(FileStoreNameTest, ReadsPartsFromTheEndAndBuildsPaddedNames) {
    const auto parts = FileStore::ParseFileName("Directory_Service_2017_07_11_100.log");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->prefix, "Directory_Service");
    EXPECT_EQ(parts->date, "2017_07_11");
    EXPECT_EQ(parts->index, 100u);
    for (const char* name :
         {"DirectoryService.log", "A_2017_07_11.log", "A_2017_07_11_03.txt", "A_2017_07_11_x3.log",
          "A_2017_07_11_.log", "A_2017_07_11_-3.log", "A_2017_07_11_99999999999.log"}) {
        EXPECT_FALSE(FileStore::ParseFileName(name)) << name;
    }

    const TimeParts date{2017, 7, 11};
    EXPECT_EQ(FileStore::FilePath("/logs/", "P", date, 3), "/logs/P_2017_07_11_03.log");
    EXPECT_EQ(FileStore::FilePath("C:\\X", "DirectoryService", date, 3),
              "C:\\X/DirectoryService_2017_07_11_03.log");
    EXPECT_EQ(FileStore::FilePath("C:\\X\\", "P", date, 3), "C:\\X\\P_2017_07_11_03.log");
    EXPECT_EQ(FileStore::FilePath("/l", "P", TimeParts{987, 1, 2}, 100), "/l/P_987_01_02_100.log");
}

TEST_F(FileStoreTest, WritesEachRecordAsOneLineWithTheClockTimeOfWriting) {
    auto store = Open(1 << 20);
    ASSERT_EQ(Log(*store, "disk full"), ResultOk);
    clock_.AdvanceMs(1001);
    ASSERT_EQ(store->Write(LogSpew, "b.cpp", "int F(int)", 5, 4294967295u, 7, "x\ty"), ResultOk);
    // The record's own time is ignored; numbers are shown signed.
    EXPECT_EQ(Read(Today + "00.log"),
              Line("disk full") +
                  "07/11/2017 09:05:04.043\t-1\t* Spew        *\tint F(int)\tx\ty\tb.cpp\t7\r\n");
}

TEST_F(FileStoreTest, OpeningContinuesInTodaysHighestFileUnlessItIsFull) {
    Touch("A_2017_07_11_02.log", 10);
    Touch("A_2017_07_11_04.log", 10);
    Touch("A_2017_07_10_09.log");
    Touch("B_2017_07_11_99.log", 50);
    ASSERT_EQ(Log(*Open(1000, "A"), "resumed"), ResultOk);
    ASSERT_EQ(Log(*Open(10, "B"), "next"), ResultOk);
    EXPECT_EQ(Read("A_2017_07_11_04.log"), std::string(10, 'x') + Line("resumed"));
    EXPECT_EQ(Read("B_2017_07_11_100.log"), Line("next"));
    EXPECT_EQ(Files().size(), 5u);
}

TEST_F(FileStoreTest, MovesOnOnlyWhenTheFileExceedsTheMaximum) {
    const std::uint64_t line = Line("a").size();
    auto exact = Open(line, "Exact");
    auto over = Open(line - 1, "Over");
    for (const char* message : {"a", "b", "c"}) {
        Log(*exact, message);
        Log(*over, message);
    }
    EXPECT_EQ(Read("Exact_2017_07_11_00.log"), Line("a") + Line("b"));
    EXPECT_EQ(Read("Exact_2017_07_11_01.log"), Line("c"));
    EXPECT_EQ(Read("Over_2017_07_11_00.log"), Line("a"));
    EXPECT_EQ(Read("Over_2017_07_11_01.log"), Line("b"));
    EXPECT_EQ(Read("Over_2017_07_11_02.log"), Line("c"));
}

TEST_F(FileStoreTest, DropsTheRecordAfterFiveUnusableNamesAndRetriesOnTheNextWrite) {
    // Folders under the files' names: invisible to the store's listing, impossible to open.
    for (char i = '0'; i < '5'; ++i)
        fs::create_directory(folder_ + "/" + Today + "0" + i + ".log");
    auto store = Open(1000);
    EXPECT_EQ(Log(*store, "lost"), ResultFail);
    EXPECT_EQ(Log(*store, "kept"), ResultOk);
    EXPECT_EQ(Read(Today + "05.log"), Line("kept"));
}

TEST_F(FileStoreTest, KeepsTheSevenLatestFilesOfThePrefix) {
    for (const char* name :
         {"DirectoryService_2016_12_31_05.log", "DirectoryService_2017_06_30_00.log",
          "DirectoryService_2017_07_10_99.log"}) {
        Touch(name);
    }
    // 100 after 99: indexes compare as numbers, not as text.
    std::set<std::string> kept = {"DirectoryService_2017_07_10_100.log", "Other_2010_01_01_00.log",
                                  "DirectoryService_2010_01_01_00.txt", "DirectoryService.log"};
    for (char i = '0'; i < '6'; ++i)
        kept.insert(Today + "0" + i + ".log");
    for (const std::string& name : kept)
        Touch(name);

    ASSERT_EQ(Log(*Open(1000), "after cleanup"), ResultOk);
    EXPECT_EQ(Files(), kept);
}

TEST_F(FileStoreTest, DeletesFilesDatedAfterTodayOnlyWhenOverTheLimit) {
    const std::string tomorrow = "DirectoryService_2017_07_12_00.log";
    Touch(tomorrow);
    for (char day = '5'; day <= '9'; ++day)
        Touch(std::string("DirectoryService_2017_07_0") + day + "_00.log");
    // Seven with today's new file: nothing is deleted.
    Log(*Open(1000), "first");
    EXPECT_EQ(Files().size(), 7u);

    // Eight at the next opening: tomorrow's goes, which is enough; it does not take the
    // place of an older file of the past.
    Touch("DirectoryService_2017_07_10_00.log");
    Log(*Open(1000), "second");
    const std::set<std::string> files = Files();
    EXPECT_EQ(files.size(), 7u);
    EXPECT_FALSE(files.count(tomorrow));
    EXPECT_TRUE(files.count("DirectoryService_2017_07_05_00.log"));
}

// Retention after an opening never takes the file being written, whatever sorts before it.
struct RetentionCase {
    const char* name;
    const char* prefix;
    std::vector<std::string> present;
    // Besides the file being written, which is always kept and holds the line.
    std::set<std::string> othersKept;

    friend void PrintTo(const RetentionCase& c, std::ostream* out) { *out << c.name; }
};

class FileStoreRetentionTest : public FileStoreTest,
                               public ::testing::WithParamInterface<RetentionCase> {};

TEST_P(FileStoreRetentionTest, KeepsTheFileBeingWritten) {
    const RetentionCase& c = GetParam();
    for (const std::string& name : c.present)
        Touch(name);
    ASSERT_EQ(Log(*Open(1000, c.prefix), "kept"), ResultOk);
    const std::string current = std::string(c.prefix) + "_2017_07_11_00.log";
    EXPECT_EQ(Read(current), Line("kept"));
    std::set<std::string> expected = c.othersKept;
    expected.insert(current);
    EXPECT_EQ(Files(), expected);
}

std::vector<std::string> Named(const char* prefix, std::initializer_list<const char*> dates) {
    std::vector<std::string> names;
    for (const char* date : dates)
        names.push_back(std::string(prefix) + "_" + date + "_00.log");
    return names;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileStoreRetentionTest,
    ::testing::Values(
        // A clock that ran a month ahead for a week: today's new file sorts first.
        RetentionCase{"FutureDated",
                      "DirectoryService",
                      Named("DirectoryService",
                            {"2017_08_01", "2017_08_02", "2017_08_03", "2017_08_04", "2017_08_05",
                             "2017_08_06", "2017_08_07", "2017_07_01", "2017_07_02"}),
                      {"DirectoryService_2017_07_01_00.log", "DirectoryService_2017_07_02_00.log"}},
        // The prefix "Dir" claims longer prefixes' files, which sort after its own.
        RetentionCase{
            "ShorterPrefix",
            "Dir",
            Named("DirectoryService", {"2017_07_01", "2017_07_02", "2017_07_03", "2017_07_04",
                                       "2017_07_05", "2017_07_06", "2017_07_07"}),
            {"DirectoryService_2017_07_02_00.log", "DirectoryService_2017_07_03_00.log",
             "DirectoryService_2017_07_04_00.log", "DirectoryService_2017_07_05_00.log",
             "DirectoryService_2017_07_06_00.log", "DirectoryService_2017_07_07_00.log"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileStoreTest, ConcurrentWritersLeaveOnlyWholeLines) {
    auto store = Open(FileStore::UnlimitedSize);
    auto message = [](int i) { return "record " + std::to_string(i) + std::string(100, '.'); };
    std::vector<std::string> expected;
    std::vector<std::thread> threads;
    for (std::uint32_t t = 1; t <= 8; ++t) {
        for (int i = 0; i < 200; ++i)
            expected.push_back(Line(message(i), t));
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                Log(*store, message(i), t);
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    const std::string text = Read(Today + "00.log");
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; at < text.size(); at = end + 2) {
        end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        lines.push_back(text.substr(at, end + 2 - at));
    }
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace brondal
