#pragma once
// Where log lines go on the Mac: the process's standard output (the launchd job sends it to a
// file under /Library/Logs), and the system log through NSLog.

#include <mutex>

#include "platform/log.h"

namespace wattkeeper::macos_backend {

// Safe from any thread; one lock keeps standard-output lines whole.
class MacLog : public Log {
public:
    // The line and a line feed, flushed at once: people read the log file while the daemon runs.
    void standardOutput(std::string_view line) override;
    // NSLog(@"%@", line), so that a "%" in the line is printed, not interpreted. Text that is not
    // UTF-8 is shown byte for byte as Latin-1 rather than lost.
    void systemLog(std::string_view line) override;

private:
    std::mutex mutex_;
};

}  // namespace wattkeeper::macos_backend
