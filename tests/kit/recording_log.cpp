#include "tests/kit/recording_log.h"

#include <algorithm>

namespace wattkeeper::testkit {

void RecordingLog::standardOutput(std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
}

void RecordingLog::systemLog(std::string_view line) {
    std::lock_guard lock(mutex_);
    systemLines_.emplace_back(line);
}

std::vector<std::string> RecordingLog::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> RecordingLog::systemLines() const {
    std::lock_guard lock(mutex_);
    return systemLines_;
}

bool RecordingLog::contains(std::string_view line) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

bool RecordingLog::systemContains(std::string_view line) const {
    std::lock_guard lock(mutex_);
    return std::find(systemLines_.begin(), systemLines_.end(), line) != systemLines_.end();
}

void RecordingLog::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    systemLines_.clear();
}

}  // namespace wattkeeper::testkit
