#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace brondal::corvane::client {

// The request to end a long-lived command (SIGINT, SIGTERM). Waits anywhere in the client
// end early when it is raised; objects with waits of their own listen for it.
class StopFlag {
public:
    void Request();
    bool IsSet();
    // True when stop was requested within timeoutMs.
    bool WaitFor(std::uint32_t timeoutMs);

    // The listener runs once, on the requesting thread, when stop is requested (at once
    // when it already was). After RemoveListener returns it is not running and never runs.
    int AddListener(std::function<void()> listener);
    void RemoveListener(int token);

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool stopped_ = false;
    // Held while listeners run, so that RemoveListener can wait for a call in progress.
    std::mutex callMutex_;
    std::map<int, std::function<void()>> listeners_;
    int nextToken_ = 1;
};

}  // namespace brondal::corvane::client
