#include "platform/linux/std_log.h"

#include <errno.h>
#include <unistd.h>

#include <ctime>
#include <utility>

namespace wattkeeper::linux_backend {

StdLog::StdLog(std::string processName, std::FILE* output, std::FILE* systemLog)
    : processName_(processName.empty() ? std::string(program_invocation_short_name) : std::move(processName)),
      output_(output),
      systemLog_(systemLog) {}

void StdLog::standardOutput(std::string_view line) {
    std::string text(line);
    text += '\n';
    write(output_, text);
}

void StdLog::systemLog(std::string_view line) {
    std::string text = systemLogLine(std::chrono::system_clock::now(), processName_, static_cast<long>(::getpid()),
                                     static_cast<long>(::gettid()), line);
    text += '\n';
    write(systemLog_, text);
}

std::string StdLog::systemLogLine(std::chrono::system_clock::time_point time, std::string_view process, long pid,
                                  long tid, std::string_view line) {
    const auto sinceEpoch = time.time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    ::localtime_r(&whole, &local);

    char stamp[32];
    const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(millis));

    std::string text(stamp, length);
    text += fraction;
    text += ' ';
    text += process;
    text += '[' + std::to_string(pid) + ':' + std::to_string(tid) + "] ";
    text += line;
    return text;
}

void StdLog::write(std::FILE* stream, std::string_view text) {
    std::lock_guard lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace wattkeeper::linux_backend
