#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "IRefCountImpl.h"
#include "RefPtr.h"

namespace brondal {
namespace {

class Counted : public IRefCountImpl {
public:
    explicit Counted(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
    ~Counted() override { ++*destroyed_; }

private:
    std::atomic<int>* destroyed_;
};

TEST(RefCountTest, ReleaseDestroysOnceWhenTheLastReferenceGoes) {
    std::atomic<int> destroyed{0};
    auto* object = new Counted(&destroyed);
    EXPECT_EQ(object->AddRef(), 2);
    EXPECT_EQ(object->Release(), 1);
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(object->Release(), 0);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(RefCountTest, TryAddRefNeverRevivesAndReleaseNoDeleteWaitsForDeleteNow) {
    std::atomic<int> destroyed{0};
    auto* object = new Counted(&destroyed);
    EXPECT_EQ(object->TryAddRef(), 2);
    EXPECT_EQ(object->ReleaseNoDelete(), 1);
    EXPECT_EQ(object->ReleaseNoDelete(), 0);
    EXPECT_EQ(destroyed.load(), 0);  // alive at 0 until DeleteNow
    EXPECT_EQ(object->TryAddRef(), 0);
    EXPECT_EQ(object->TryAddRef(), 0);
    object->DeleteNow();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(RefCountTest, DeleteNowDestroysWhateverTheCount) {
    std::atomic<int> destroyed{0};
    auto* object = new Counted(&destroyed);
    object->AddRef();
    object->AddRef();
    EXPECT_EQ(object->DeleteNow(), 3);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(RefCountTest, ConcurrentReferencesDestroyExactlyOnce) {
    std::atomic<int> destroyed{0};
    for (int round = 0; round < 50; ++round) {
        auto* object = new Counted(&destroyed);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            object->AddRef();  // one reference per thread, released there
            threads.emplace_back([object] {
                for (int i = 0; i < 1000; ++i) {
                    if (object->TryAddRef() != 0) object->Release();
                }
                object->Release();
            });
        }
        object->Release();
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(destroyed.load(), round + 1);
    }
}

TEST(RefPtrTest, HoldsAndGivesBackReferences) {
    std::atomic<int> destroyed{0};
    {
        auto held = RefPtr<Counted>::Adopt(new Counted(&destroyed));
        RefPtr<Counted> copy = held;
        EXPECT_EQ(held->AddRef(), 3);
        held->Release();
        RefPtr<Counted> moved = std::move(copy);
        EXPECT_FALSE(copy);
        Counted* out = nullptr;
        moved.CopyTo(&out);
        EXPECT_EQ(out->Release(), 2);
        held.Reset();
        EXPECT_EQ(destroyed.load(), 0);
    }
    EXPECT_EQ(destroyed.load(), 1);

    RefPtr<Counted> slot;
    *slot.Receive() = new Counted(&destroyed);  // as a factory's out parameter
    *slot.Receive() = new Counted(&destroyed);  // Receive releases the previous one
    EXPECT_EQ(destroyed.load(), 2);
    Counted* detached = slot.Detach();
    EXPECT_EQ(detached->Release(), 0);
    EXPECT_EQ(destroyed.load(), 3);
}

}  // namespace
}  // namespace brondal
