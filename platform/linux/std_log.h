#pragma once
// Log lines to the process's standard output and, standing in for the system log, to standard
// error.

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/log.h"

namespace wattkeeper::linux_backend {

// Writes whole lines and flushes each one at once (the daemon's standard output goes to a log
// file that people read while it runs). Safe from any thread: one lock covers both streams, so
// no two lines interleave even when both streams share a file.
class StdLog : public Log {
public:
    // processName: the name in system-log lines; empty means this program's own name.
    explicit StdLog(std::string processName = {}, std::FILE* output = stdout, std::FILE* systemLog = stderr);

    // The line and a line feed.
    void standardOutput(std::string_view line) override;
    // "YYYY-MM-DD HH:MM:SS.mmm <process>[<pid>:<tid>] <line>" and a line feed, in local time, as
    // NSLog writes an entry to standard error.
    void systemLog(std::string_view line) override;

    static std::string systemLogLine(std::chrono::system_clock::time_point time, std::string_view process, long pid,
                                     long tid, std::string_view line);

private:
    void write(std::FILE* stream, std::string_view text);

    std::string processName_;
    std::FILE* output_;
    std::FILE* systemLog_;
    std::mutex mutex_;
};

}  // namespace wattkeeper::linux_backend
