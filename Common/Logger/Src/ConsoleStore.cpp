#include "ConsoleStore.h"

#include "LockGuard.h"

namespace brondal {

ConsoleStore::ConsoleStore(std::FILE* stream, bool priorities)
    : stream_(stream), priorities_(priorities), lock_(GetScheduler().CreateMutex()) {}

std::string ConsoleStore::FormatLine(std::uint32_t level, std::string_view message,
                                     bool priorities) {
    std::string text;
    switch (level) {
        case LogWarning:
            text = priorities ? "<4>Warning: " : "Warning: ";
            break;
        case LogSevere:
            text = priorities ? "<3>Severe: " : "Severe: ";
            break;
        case 0:
            text = priorities ? "<6>" : "";
            break;
        default:
            return {};
    }
    text.reserve(text.size() + message.size() + 1);
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        text += byte < 0x20 || byte == 0x7f ? ' ' : c;
    }
    text += '\n';
    return text;
}

Result ConsoleStore::Write(std::uint32_t level, std::string_view, std::string_view, std::int64_t,
                           std::uint32_t, std::uint32_t, std::string_view message) {
    try {
        const std::string text =
            level == 0 ? std::string() : FormatLine(level, message, priorities_);
        if (!text.empty()) Put(text);
        return ResultOk;
    } catch (...) {
        // Logging must never throw into the code that logs.
        return ResultFail;
    }
}

void ConsoleStore::Announce(std::string_view text) {
    try {
        Put(FormatLine(0, text, priorities_));
    } catch (...) {
    }
}

void ConsoleStore::Put(const std::string& text) {
    MutexGuard guard(*lock_);
    // Flushed at once: the journal and a terminal should see a line when it happens, and a
    // crash should not take the last ones with it.
    std::fwrite(text.data(), 1, text.size(), stream_);
    std::fflush(stream_);
}

}  // namespace brondal
