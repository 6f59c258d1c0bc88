// The Linux log and local center: lines as the system log writes them, whole from any thread,
// and observers called inside the post.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/local_center.h"
#include "platform/linux/std_log.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {
namespace {

using linux_backend::LocalCenter;
using linux_backend::StdLog;

TEST(StdLogTest, SystemLogLinesCarryTheMillisecondsOfTheirTime) {
    using namespace std::chrono;
    struct Case {
        milliseconds sinceEpoch;
        const char* fraction;
    };
    const Case cases[] = {{1'700'000'000'000ms, ".000"}, {1'700'000'000'005ms, ".005"}, {1'700'000'000'999ms, ".999"}};
    for (const auto& c : cases) {
        const auto line = StdLog::systemLogLine(system_clock::time_point(c.sinceEpoch), "Wattkeeper", 12, 34, "hello");
        EXPECT_TRUE(std::regex_match(
            line, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} Wattkeeper\[12:34\] hello)")))
            << line;
        EXPECT_EQ(line.substr(19, 4), c.fraction) << line;
    }
}

TEST(StdLogTest, LinesFromManyThreadsNeverInterleave) {
    const TempDir folder;
    const auto path = folder.path() / "log";
    std::FILE* file = std::fopen(path.c_str(), "w");
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
    std::fclose(file);
    const std::string content = readFile(path);
    EXPECT_TRUE(content.ends_with('\n'));
    std::istringstream lines(content);
    const std::regex line(R"((\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} Wattkeeper\[\d+:\d+\] )?writer \d line \d+)");
    int count = 0;
    for (std::string text; std::getline(lines, text); ++count) EXPECT_TRUE(std::regex_match(text, line)) << text;
    EXPECT_EQ(count, 800);
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
}  // namespace wattkeeper::testkit
