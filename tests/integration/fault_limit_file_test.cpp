// The limit file as a user can leave it: swapped and rewritten while the daemon reads it, a
// FIFO, a huge file, a link, garbage; and the console user switching (a folder, a cut list and
// links on the way are the file system's and the codec's unit tests). The daemon never
// hangs or stops answering; what it cannot read counts as missing, so the preferences' limit
// applies, and without that, no limit: charging allowed.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "protocol/names.h"
#include "tests/integration/daemon_fixture_e2e.h"

namespace wattkeeper::testkit {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
// The battery stays at 50 %. A limit file of 50 holds it there, the preferences' 40 forces it
// down, and no limit at all lets it charge: three states the keys tell apart.
constexpr int kFileLimit = 50;
constexpr int kPreferencesLimit = 40;
const std::string kFileKeys = "2 2 0";
const std::string kPreferencesKeys = "2 2 1";
const std::string kNoLimitKeys = "0 0 0";

// A heartbeat that takes longer than this means the daemon was stuck somewhere (a read that
// blocks): far beyond what a sanitizer build on a loaded machine takes to answer.
constexpr auto kPrompt = 20s;

class LimitFileFaults : public DaemonFixture {
protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        if (HasFatalFailure()) return;
        client->post(protocol::kOpenSMC);
    }

    void writePreferences() { replaceFile(preferencesFile(), limitPlist(kPreferencesLimit)); }

    // Whatever is at the limit file's place goes, a folder included.
    void clearLimitFile() { fs::remove_all(limitFile()); }

    // The keys the daemon settles on after being told the limit changed, with every heartbeat
    // on the way answered promptly.
    ::testing::AssertionResult settlesTo(const std::string& expected) {
        client->post(protocol::kLimitChange);
        if (!client->ask(protocol::kHeart, kPrompt)) return ::testing::AssertionFailure() << "no prompt heartbeat";
        if (!keysBecome(expected, Nudge::Heartbeats)) {
            return ::testing::AssertionFailure() << "keys " << keys() << ", not " << expected;
        }
        return ::testing::AssertionSuccess();
    }
};

struct BrokenFile {
    const char* what;
    std::function<void(const fs::path& file)> make;
    // What the daemon then reads: the preferences, or nothing at all.
    std::string keys = kPreferencesKeys;
};

// Every read asks who owns the console, so a user switch is one more way for the file to be
// out of reach: another user's container holds nothing, and at the login window there is none.
TEST_F(LimitFileFaults, AnUnreadableFileOrAUserSwitchFallsBackToThePreferencesOrNoLimit) {
    const fs::path elsewhere = work.path() / "elsewhere" / "BatteryLimit.plist";
    const BrokenFile broken[] = {
        {"another console user",
         [this](const fs::path&) {
             ASSERT_EQ(vm({"user", "bob"}).status, 0);
         },
         kNoLimitKeys},
        {"the login window",
         [this](const fs::path&) {
             ASSERT_EQ(vm({"user", "loginwindow"}).status, 0);
         },
         kNoLimitKeys},
        {"a FIFO", [](const fs::path& file) { ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); }},
        {"50 MB of a valid property list",
         [](const fs::path& file) {
             std::ofstream out(file, std::ios::binary);
             out << limitPlist(kFileLimit);
             const std::string spaces(1 << 20, ' ');
             for (int i = 0; i < 50; ++i) out << spaces;
         }},
        {"a link to a readable limit file",
         [&elsewhere](const fs::path& file) {
             replaceFile(elsewhere, limitPlist(kFileLimit));
             fs::create_symlink(elsewhere, file);
         }},
        {"garbage",
         [](const fs::path& file) {
             std::ofstream out(file, std::ios::binary);
             for (int i = 0; i < 4096; ++i) out.put(static_cast<char>((i * 7919 + 13) % 256));
         }},
    };
    writePreferences();
    for (const BrokenFile& item : broken) {
        SCOPED_TRACE(item.what);
        ASSERT_EQ(vm({"user", "anna"}).status, 0);
        clearLimitFile();
        replaceFile(limitFile(), limitPlist(kFileLimit));
        ASSERT_TRUE(settlesTo(kFileKeys));
        clearLimitFile();
        item.make(limitFile());
        if (HasFatalFailure()) return;
        EXPECT_TRUE(settlesTo(item.keys));
    }
    fs::remove(preferencesFile());
    EXPECT_TRUE(settlesTo(kNoLimitKeys));
    EXPECT_FALSE(daemonEnded(0ms));
}

// Replaced atomically and rewritten in place, over and over, while requests make the daemon read
// it: each read sees one whole file, a torn one (no limit), or none; the daemon keeps answering
// and ends on the last whole file.
TEST_F(LimitFileFaults, ALimitFileChangingUnderTheReaderNeverStopsTheDaemon) {
    writePreferences();
    replaceFile(limitFile(), limitPlist(kFileLimit));
    ASSERT_TRUE(settlesTo(kFileKeys));

    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread writer([&] {
        const std::string a = limitPlist(kFileLimit);
        const std::string b = limitPlist(60);
        while (!stop.load()) {
            replaceFile(limitFile(), rounds % 2 ? a : b);
            // In place: truncated, then written in two pieces.
            std::ofstream out(limitFile(), std::ios::binary | std::ios::trunc);
            out << b.substr(0, b.size() / 2) << std::flush;
            out << b.substr(b.size() / 2) << std::flush;
            ++rounds;
        }
    });
    // As many reads as it takes to overlap the writer's rounds, however fast either side runs.
    constexpr int kReads = 20;
    int answered = 0;
    while (answered < kReads || rounds.load() < kReads) {
        client->post(protocol::kLimitChange);
        if (!client->ask(protocol::kHeart, kPrompt)) break;
        ++answered;
    }
    stop = true;
    writer.join();
    EXPECT_GE(answered, kReads) << "a heartbeat went unanswered";

    replaceFile(limitFile(), limitPlist(kFileLimit));
    client->post(protocol::kLimitChange);
    EXPECT_TRUE(keysBecome(kFileKeys, Nudge::ThenRest)) << keys();
    EXPECT_FALSE(daemonEnded(0ms));
}

}  // namespace
}  // namespace wattkeeper::testkit
