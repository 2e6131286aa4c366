#include "SocketPoller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace brondal::platform {

namespace {

constexpr int MaxEventsPerWait = 256;

}  // namespace

SocketPoller::SocketPoller()
    : poll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (poll_ >= 0 && wake_ >= 0) {
        // The wake-up is the one registration without a tag; it stays readable until Wait
        // drains it.
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = nullptr;
        if (::epoll_ctl(poll_, EPOLL_CTL_ADD, wake_, &event) != 0) {
            ::close(wake_);
            wake_ = -1;
        }
    }
}

SocketPoller::~SocketPoller() {
    if (wake_ >= 0) ::close(wake_);
    if (poll_ >= 0) ::close(poll_);
}

bool SocketPoller::IsValid() const { return poll_ >= 0 && wake_ >= 0; }

int SocketPoller::WatchWritable(int socket, void* tag) {
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLONESHOT;
    event.data.ptr = tag;
    // A socket reported once stays registered (disarmed) until forgotten: re-arm it.
    if (::epoll_ctl(poll_, EPOLL_CTL_MOD, socket, &event) == 0) return 0;
    if (errno != ENOENT) return -1;
    return ::epoll_ctl(poll_, EPOLL_CTL_ADD, socket, &event) == 0 ? 0 : -1;
}

int SocketPoller::WatchReadable(int socket, void* tag) {
    epoll_event event{};
    // Level-triggered: bytes a pass left in the socket are reported again at the next wait.
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = tag;
    return ::epoll_ctl(poll_, EPOLL_CTL_ADD, socket, &event) == 0 ? 0 : -1;
}

int SocketPoller::Forget(int socket) {
    epoll_event event{};
    if (::epoll_ctl(poll_, EPOLL_CTL_DEL, socket, &event) == 0 || errno == ENOENT) return 0;
    return -1;
}

void SocketPoller::Wake() {
    const std::uint64_t one = 1;
    // A full counter already means "wake up"; nothing is lost when this write fails.
    [[maybe_unused]] ssize_t written = ::write(wake_, &one, sizeof one);
}

int SocketPoller::Wait(std::int32_t timeoutMs, std::vector<void*>* ready) {
    epoll_event events[MaxEventsPerWait];
    int count;
    do {
        count = ::epoll_wait(poll_, events, MaxEventsPerWait, timeoutMs < 0 ? -1 : timeoutMs);
    } while (count < 0 && errno == EINTR);
    if (count < 0) return -1;
    int tags = 0;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.ptr == nullptr) {
            std::uint64_t drained = 0;
            [[maybe_unused]] ssize_t read = ::read(wake_, &drained, sizeof drained);
            continue;
        }
        ready->push_back(events[i].data.ptr);
        ++tags;
    }
    return tags;
}

}  // namespace brondal::platform
