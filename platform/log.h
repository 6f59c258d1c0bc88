#pragma once
// Where log lines go: the process's standard output, and the system log.

#include <string_view>

namespace wattkeeper {

class Log {
public:
    virtual ~Log() = default;
    // One line on standard output; the line feed is added here.
    virtual void standardOutput(std::string_view line) = 0;
    // One entry in the system log.
    virtual void systemLog(std::string_view line) = 0;
};

}  // namespace wattkeeper
