#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ILogger.h"
#include "IRefCountImpl.h"
#include "RefPtr.h"

namespace brondal::testing {

// Collects the messages the process logger writes while it lives.
class LogCapture {
public:
    LogCapture() {
        GetLogger(logger_.Receive());
        logger_->AddStore(store_.Get());
    }
    ~LogCapture() { logger_->RemoveStore(store_.Get()); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Messages() { return store_->Messages(); }
    bool Contains(std::string_view text) {
        for (const std::string& message : Messages()) {
            if (message.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    class Store final : public ILogStore, public IRefCountImpl {
    public:
        Result Write(std::uint32_t, std::string_view, std::string_view, std::int64_t, std::uint32_t,
                     std::uint32_t, std::string_view message) override {
            std::lock_guard lock(mutex_);
            messages_.emplace_back(message);
            return ResultOk;
        }
        std::vector<std::string> Messages() {
            std::lock_guard lock(mutex_);
            return messages_;
        }

    private:
        std::mutex mutex_;
        std::vector<std::string> messages_;
    };

    RefPtr<ILogger> logger_;
    RefPtr<Store> store_ = RefPtr<Store>::Adopt(new Store());
};

}  // namespace brondal::testing
