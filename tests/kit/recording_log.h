#pragma once
// A Log that keeps its lines for tests to read. Safe to write from several threads, since the
// daemon logs from the main queue and from the timer's global queue.

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"

namespace wattkeeper::testkit {

class RecordingLog : public Log {
public:
    void standardOutput(std::string_view line) override;
    void systemLog(std::string_view line) override;

    // Copies, so a test can read while other threads still write.
    std::vector<std::string> lines() const;
    std::vector<std::string> systemLines() const;
    bool contains(std::string_view line) const;
    bool systemContains(std::string_view line) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> systemLines_;
};

}  // namespace wattkeeper::testkit
