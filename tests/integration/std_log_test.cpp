#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/local_center.h"
#include "platform/linux/std_log.h"

namespace wattkeeper::testing {
namespace {

using linux_backend::LocalCenter;
using linux_backend::StdLog;

std::vector<std::string> linesOf(std::FILE* file) {
    std::rewind(file);
    std::vector<std::string> lines;
    std::string line;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    if (!line.empty()) lines.push_back(line + "<no line feed>");
    return lines;
}

TEST(StdLogTest, SystemLogLinesCarryTheMillisecondsOfTheirTime) {
    using namespace std::chrono;
    struct Case {
        milliseconds sinceEpoch;
        const char* fraction;
    };
    const Case cases[] = {{1'700'000'000'000ms, ".000"}, {1'700'000'000'005ms, ".005"}, {1'700'000'000'999ms, ".999"}};
    for (const auto& c : cases) {
        const auto line = StdLog::systemLogLine(system_clock::time_point(c.sinceEpoch), "Wattkeeper", 12, 34, "hello");
        EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} Wattkeeper\[12:34\] hello)")))
            << line;
        EXPECT_EQ(line.substr(19, 4), c.fraction) << line;
    }
}

TEST(StdLogTest, LinesFromManyThreadsNeverInterleave) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        StdLog log("Wattkeeper", file, file);
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&log, t] {
                for (int i = 0; i < 200; ++i) {
                    const std::string text = "writer " + std::to_string(t) + " line " + std::to_string(i);
                    if (i % 2) {
                        log.systemLog(text);
                    } else {
                        log.standardOutput(text);
                    }
                }
            });
        }
        for (auto& w : writers) w.join();
    }
    const auto lines = linesOf(file);
    std::fclose(file);
    ASSERT_EQ(lines.size(), 800u);
    const std::regex plain(R"(writer \d line \d+)");
    const std::regex system(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} Wattkeeper\[\d+:\d+\] writer \d line \d+)");
    for (const auto& line : lines) {
        EXPECT_TRUE(std::regex_match(line, plain) || std::regex_match(line, system)) << line;
    }
}

TEST(LocalCenterTest, ObserversOfTheNameRunInsideThePostInRegistrationOrder) {
    LocalCenter center;
    std::vector<std::string> calls;
    const PlistDictionary info{{"k", 1}};
    center.addObserver("A", [&](std::string_view name, const PlistDictionary* userInfo) {
        calls.push_back("first " + std::string(name) + (userInfo == &info ? " info" : ""));
        // Registered during a post: called from the next post on.
        center.addObserver("A", [&](std::string_view, const PlistDictionary*) { calls.push_back("late"); });
    });
    center.addObserver("B", [&](std::string_view, const PlistDictionary*) { calls.push_back("other"); });
    center.addObserver("A", [&](std::string_view, const PlistDictionary* userInfo) {
        calls.push_back(userInfo ? "second info" : "second");
    });

    center.postNotification("A", &info);
    EXPECT_EQ(calls, (std::vector<std::string>{"first A info", "second info"}));
    calls.clear();
    center.postNotification("A", nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"first A", "second", "late"}));
}

}  // namespace
}  // namespace wattkeeper::testing
