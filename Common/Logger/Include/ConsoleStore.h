#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "ILogger.h"
#include "IRefCountImpl.h"
#include "Scheduler.h"

namespace brondal {

// Warning and Severe records as one line each on a console stream (standard error), for
// the person at a terminal or for systemd's journal, which reads the service's standard
// error. Other levels are not written: the log files hold everything.
//
// A line is the level's word, ": " and the message ("Severe: Unable to initialize
// transport"). With priorities, each line starts with the kernel-style prefix that the
// journal takes as the line's priority ("<4>" Warning, "<3>" Severe, "<6>" for
// announcements) instead of showing it. Messages may carry text from peers: line breaks
// and other control characters become spaces, so that a record stays one line and cannot
// drive the terminal.
class ConsoleStore final : public ILogStore, public virtual IRefCountImpl {
public:
    // stream stays the caller's and must outlive the store. Count 1, for the caller.
    ConsoleStore(std::FILE* stream, bool priorities);

    Result Write(std::uint32_t level, std::string_view file, std::string_view function,
                 std::int64_t time, std::uint32_t threadId, std::uint32_t line,
                 std::string_view message) override;

    // One line of the program's own, at the announcement priority: without a level word,
    // and written whatever the level filter.
    void Announce(std::string_view text);

    // The line Write or Announce would write (level 0: an announcement); empty for a
    // level that is not written.
    static std::string FormatLine(std::uint32_t level, std::string_view message, bool priorities);

private:
    ~ConsoleStore() override = default;
    void Put(const std::string& text);

    std::FILE* const stream_;
    const bool priorities_;
    // Serialises the lines of concurrent writers.
    std::unique_ptr<Scheduler::Mutex> lock_;
};

}  // namespace brondal
