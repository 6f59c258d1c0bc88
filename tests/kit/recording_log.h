#pragma once
// A Log that keeps its lines for tests to read. Safe to write from several threads, since the
// daemon logs from the main queue and from the timer's global queue.

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"

namespace wattkeeper::testkit {

class RecordingLog : public Log {
public:
    void standardOutput(std::string_view line) override { add(lines_, line); }
    void systemLog(std::string_view line) override { add(systemLines_, line); }

    // Copies, so a test can read while other threads still write.
    std::vector<std::string> lines() const { return copy(lines_); }
    std::vector<std::string> systemLines() const { return copy(systemLines_); }
    bool contains(std::string_view line) const {
        std::lock_guard lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
        systemLines_.clear();
    }

private:
    void add(std::vector<std::string>& to, std::string_view line) {
        std::lock_guard lock(mutex_);
        to.emplace_back(line);
    }
    std::vector<std::string> copy(const std::vector<std::string>& from) const {
        std::lock_guard lock(mutex_);
        return from;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> systemLines_;
};

}  // namespace wattkeeper::testkit
