// Fan-out of received frames: read views per listener, the data hook and its post-receive
// task, on the delivering thread and on the notification thread's own.
#include <gtest/gtest.h>

#include <atomic>

#include "LoopbackSupport.h"
#include "NotificationThread.h"

namespace brondal {
namespace {

using testing::RecordingListener;
using testing::StreamOf;

const UUID Connection1(0x01, 0x02, 0x03, 0x04);
const UUID Channel(0x10, 0x20, 0x30, 0x40);
const UUID Rerouted(0x50, 0x60, 0x70, 0x80);

class CountingTask final : public ITransport::PostReceiveTask, public IRefCountImpl {
public:
    void Run() override { ++runs; }
    std::atomic<int> runs{0};
};

// Strips the first byte, moves the frame to another channel and hands out a task; a frame
// starting with 0 is consumed.
class Hook final : public ITransport::IDataHook, public IRefCountImpl {
public:
    explicit Hook(CountingTask* task) : task_(task) {}
    Result PreOnDataReady(UUID, UUID* channelId, IDataStream** data,
                          ITransport::PostReceiveTask** task) override {
        std::uint8_t first = 0;
        (*data)->ReadUInt8(&first);
        if (first == 0) {
            (*data)->Release();
            *data = nullptr;
            return ResultOk;
        }
        *channelId = Rerouted;
        task_->AddRef();
        *task = task_.Get();
        return ResultOk;
    }

private:
    RefPtr<CountingTask> task_;
};

class Fanout : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        notify_ = RefPtr<NotificationThread>::Adopt(new NotificationThread(GetParam()));
        ASSERT_EQ(notify_->Initialize(), ResultOk);
        notify_->AddNotify(first_.Get());
        notify_->AddNotify(second_.Get());
    }

    RefPtr<NotificationThread> notify_;
    RefPtr<RecordingListener> first_ = RefPtr<RecordingListener>::Adopt(new RecordingListener);
    RefPtr<RecordingListener> second_ = RefPtr<RecordingListener>::Adopt(new RecordingListener);
};

TEST_P(Fanout, EveryListenerReadsTheWholeFrame) {
    EXPECT_EQ(notify_->OnDataReady(Connection1, Channel, StreamOf({1, 2, 3}).Get()), ResultOk);
    ASSERT_TRUE(first_->WaitFrames(1));
    ASSERT_TRUE(second_->WaitFrames(1));
    for (auto* listener : {first_.Get(), second_.Get()}) {
        auto frame = listener->Frames()[0];
        EXPECT_EQ(frame.connection, Connection1);
        EXPECT_EQ(frame.channel, Channel);
        EXPECT_EQ(frame.payload, (std::vector<std::uint8_t>{1, 2, 3}));
    }
    EXPECT_EQ(notify_->RemoveNotify(second_.Get()), ResultOk);
    notify_->OnDataReady(Connection1, Channel, StreamOf({4}).Get());
    ASSERT_TRUE(first_->WaitFrames(2));
    EXPECT_EQ(second_->Frames().size(), 1u);
}

TEST_P(Fanout, HookReroutesConsumesAndHandsOutATask) {
    RefPtr<CountingTask> task = RefPtr<CountingTask>::Adopt(new CountingTask);
    RefPtr<Hook> hook = RefPtr<Hook>::Adopt(new Hook(task.Get()));
    ASSERT_EQ(notify_->SetDataHook(hook.Get()), ResultOk);
    RefPtr<Hook> other = RefPtr<Hook>::Adopt(new Hook(task.Get()));
    EXPECT_EQ(notify_->SetDataHook(other.Get()), ResultFail);

    notify_->OnDataReady(Connection1, Channel, StreamOf({0, 9}).Get());
    notify_->OnDataReady(Connection1, Channel, StreamOf({7, 8, 9}).Get());
    ASSERT_TRUE(first_->WaitFrames(1));
    ASSERT_TRUE(second_->WaitFrames(1));
    // The consumed frame reached nobody; the other arrives rerouted, without its first byte.
    EXPECT_EQ(first_->Frames().size(), 1u);
    EXPECT_EQ(first_->Frames()[0].channel, Rerouted);
    EXPECT_EQ(second_->Frames()[0].payload, (std::vector<std::uint8_t>{8, 9}));
    // Once after both listeners on the delivering thread; once per listener on the own one.
    const int expectedRuns = GetParam() ? 2 : 1;
    ASSERT_TRUE(testing::PollUntil([&] { return task->runs.load() >= expectedRuns; }));
    EXPECT_EQ(task->runs.load(), expectedRuns);

    EXPECT_EQ(notify_->SetDataHook(nullptr), ResultOk);
    EXPECT_EQ(notify_->SetDataHook(other.Get()), ResultOk);
    notify_->SetDataHook(nullptr);
}

TEST_P(Fanout, EventsReachEveryListener) {
    EXPECT_EQ(notify_->OnEvent(Connection1, ITransport::ConnectionClosed), ResultOk);
    EXPECT_EQ(first_->CountEvents(ITransport::ConnectionClosed), 1u);
    EXPECT_EQ(second_->CountEvents(ITransport::ConnectionClosed), 1u);
}

INSTANTIATE_TEST_SUITE_P(DeliveryThread, Fanout, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OwnThread" : "Caller"; });

}  // namespace
}  // namespace brondal
