#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "DeleteLater.h"
#include "IRefCountImpl.h"
#include "Scheduler.h"

namespace brondal {
namespace {

struct Log {
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::uint32_t> threads;
};

class Retired : public IRefCountImpl {
public:
    Retired(Log* log, int id, Retired* next = nullptr) : log_(log), id_(id), next_(next) {}
    ~Retired() override {
        {
            std::lock_guard lock(log_->mutex);
            log_->order.push_back(id_);
            log_->threads.push_back(GetScheduler().GetCurrentThreadId());
        }
        DeleteLater(next_);  // a destructor may retire further objects
    }

private:
    Log* log_;
    int id_;
    Retired* next_;
};

TEST(DeleteLaterTest, DestroysInQueueOrderOnOneOtherThread) {
    Log log;
    DeleteLater(new Retired(&log, 1));
    DeleteLater(new Retired(&log, 2));
    DeleteLater(new Retired(&log, 3));
    ASSERT_TRUE(WaitForDeferredDeletions(10000));
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(log.threads[0], log.threads[1]);
    EXPECT_EQ(log.threads[1], log.threads[2]);
    EXPECT_NE(log.threads[0], GetScheduler().GetCurrentThreadId());
}

TEST(DeleteLaterTest, DestroysWhateverTheCountAndAcceptsQueuesFromDestructors) {
    Log log;
    auto* chained = new Retired(&log, 2);
    auto* first = new Retired(&log, 1, chained);
    first->AddRef();  // still referenced: deleted anyway
    DeleteLater(first);
    ASSERT_TRUE(WaitForDeferredDeletions(10000));
    ASSERT_TRUE(WaitForDeferredDeletions(10000));  // the chained one was queued meanwhile
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.order, (std::vector<int>{1, 2}));
}

TEST(DeleteLaterTest, ManyThreadsRetireObjectsConcurrently) {
    Log log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 250; ++i)
                DeleteLater(new Retired(&log, t * 1000 + i));
        });
    }
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(WaitForDeferredDeletions(10000));
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.order.size(), 1000u);
    DeleteLater(nullptr);  // ignored
}

}  // namespace
}  // namespace brondal
