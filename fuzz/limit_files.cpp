// Fuzzes the limit and preferences files: any bytes as the console user's BatteryLimit.plist
// and/or preferences file, read by the daemon's file manager, turned into a charge limit, and
// acted on by one evaluation on a simulated MacBook at 50%.
//
// Input: byte 0 says where the rest goes (bits 0-1: the limit file, the preferences file, both,
// or split between them at byte 1; bit 2: the file left out is unreadable rather than absent).
//
// A decode that takes more than kMaxDecodeCpu of the thread's CPU time is a finding: the daemon
// reads these files on every evaluation, so a slow one stalls it.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <span>
#include <vector>

#include "daemon/core/battery_module.h"
#include "daemon/files/daemon_file_manager.h"
#include "fuzz/fuzz_kit.h"
#include "platform/linux/plist_codec.h"
#include "protocol/names.h"
#include "tests/kit/daemon_world.h"

namespace wattkeeper::fuzzing {
namespace {

using namespace daemon;
using namespace linux_backend;
using Bytes = std::vector<std::uint8_t>;
using testkit::kLimitFile;
using testkit::kPreferencesFile;

constexpr std::int64_t kCharge = 50;
constexpr std::chrono::milliseconds kMaxDecodeCpu{100};

// CPU time, not wall time: the fuzz step runs inside the test command, beside other work.
std::chrono::nanoseconds threadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Runs one decode of `size` bytes. A decode that takes longer than kMaxDecodeCpu three times
// running is a finding; once may be the machine's doing rather than the input's (the kernel
// charges the thread for reclaiming memory under pressure, for one).
template <class Decode>
auto boundedDecode(const char* what, std::size_t size, Decode decode) {
    auto fastest = std::chrono::nanoseconds::max();
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto start = threadCpuTime();
        auto result = decode();
        fastest = std::min(fastest, threadCpuTime() - start);
        if (fastest <= kMaxDecodeCpu) return result;
    }
    std::fprintf(stderr,
                 "fuzz expectation failed: %s of %zu bytes took %lld ms of CPU time, three times running "
                 "(bound %lld ms)\n",
                 what, size,
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(fastest).count()),
                 static_cast<long long>(kMaxDecodeCpu.count()));
    std::abort();
}

// Whether two values agree after a trip through the codec: exactly, except that XML keeps no
// fraction of a second and writes reals as text, and a date within a second before 2001 loses
// its sign (see plist_codec.h).
bool sameAfterTrip(const PlistValue& a, const PlistValue& b, PlistFormat format) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case PlistValue::Kind::Dictionary: {
            const auto& x = *a.asDictionary();
            const auto& y = *b.asDictionary();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
                if (i->first != j->first || !sameAfterTrip(i->second, j->second, format)) return false;
            }
            return true;
        }
        case PlistValue::Kind::Array: {
            const auto& x = *a.asArray();
            const auto& y = *b.asArray();
            if (x.size() != y.size()) return false;
            for (std::size_t k = 0; k < x.size(); ++k) {
                if (!sameAfterTrip(x[k], y[k], format)) return false;
            }
            return true;
        }
        case PlistValue::Kind::Real: {
            const double x = *a.asReal();
            const double y = *b.asReal();
            if (format == PlistFormat::Xml) return true;
            return x == y || (std::isnan(x) && std::isnan(y));
        }
        case PlistValue::Kind::Date:
            return std::fabs(a.asDate()->secondsSince2001 - b.asDate()->secondsSince2001) <= 1.0;
        default:
            return a == b;
    }
}

// The codec on its own: what it decodes it can write, and what it writes it reads back alike.
void checkCodec(std::span<const std::uint8_t> bytes) {
    const auto value = boundedDecode("plistFromBytes", bytes.size(), [&] { return plistFromBytes(bytes); });
    if (!value) return;
    for (const PlistFormat format : {PlistFormat::Xml, PlistFormat::Binary}) {
        const auto written = plistToBytes(*value, format);
        // Text holding a zero byte decodes from a binary list but cannot be written back.
        if (!written) continue;
        const auto again = plistFromBytes(*written);
        expect(again.has_value(), "a list the codec wrote does not decode");
        expect(sameAfterTrip(*value, *again, format), "a list changed on its way through the codec");
    }
}

struct World : testkit::DaemonWorld {
    World() {
        startControlling();
        // The evaluations run when the limit-change request asks, not on the timer.
        module->closeCMCTimer();
    }
};

World& world() {
    // Built once; never destroyed, since the daemon's shared objects point into it.
    static World* instance = new World;
    return *instance;
}

void place(World& w, const std::string& path, const std::optional<Bytes>& bytes, bool otherwiseUnreadable) {
    w.files.removeFile(path);
    if (bytes) {
        w.files.putFile(path, *bytes);
    } else if (otherwiseUnreadable) {
        w.files.putUnreadable(path);
    }
}

}  // namespace
}  // namespace wattkeeper::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wattkeeper;
    using namespace wattkeeper::fuzzing;
    using namespace wattkeeper::daemon;
    if (size < 1) return 0;
    const std::uint8_t mode = data[0];
    std::span<const std::uint8_t> rest(data + 1, size - 1);

    std::optional<Bytes> limitFile;
    std::optional<Bytes> preferencesFile;
    switch (mode & 3) {
        case 0:
            limitFile = Bytes(rest.begin(), rest.end());
            break;
        case 1:
            preferencesFile = Bytes(rest.begin(), rest.end());
            break;
        case 2:
            limitFile = preferencesFile = Bytes(rest.begin(), rest.end());
            break;
        default: {
            if (rest.empty()) return 0;
            const std::size_t cut = std::min<std::size_t>(rest[0], rest.size() - 1);
            limitFile = Bytes(rest.begin() + 1, rest.begin() + 1 + cut);
            preferencesFile = Bytes(rest.begin() + 1 + cut, rest.end());
            checkCodec(std::span(*limitFile));
            checkCodec(std::span(*preferencesFile));
            break;
        }
    }
    if ((mode & 3) != 3) checkCodec(rest);

    World& w = world();
    const bool unreadable = (mode & 4) != 0;
    place(w, kLimitFile, limitFile, unreadable);
    place(w, kPreferencesFile, preferencesFile, unreadable);

    // The readers as the evaluation uses them.
    const std::size_t limitSize = limitFile ? limitFile->size() : 0;
    const std::size_t preferencesSize = preferencesFile ? preferencesFile->size() : 0;
    auto limits = boundedDecode("reading the limit file", limitSize, [&] {
        return DaemonFileManager::readDictionaryFileName(w.ports, "BatteryLimit.plist");
    });
    if (!limits) {
        limits = boundedDecode("reading the preferences file", preferencesSize,
                               [&] { return DaemonFileManager::readPreferencesDictionary(w.ports); });
    }
    const std::optional<std::int64_t> limit = limits ? chargingLimitOf(*limits) : std::nullopt;
    if (limits) (void)describe(*limits);
    (void)boundedDecode("reading the limit file as an array", limitSize,
                        [&] { return DaemonFileManager::readArrayFileName(w.ports, "BatteryLimit.plist"); });
    (void)DaemonFileManager::readStringFileName(w.ports, "BatteryLimit.plist");

    // One evaluation on the request path, from keys that allow charging.
    w.setKeys(0, 0, 0);
    w.request(protocol::kLimitChange);
    w.loop.advance(std::chrono::seconds(2));
    const auto keys = w.keys();
    const bool holds = limit && *limit >= 10 && *limit <= kCharge;
    if (!holds) {
        // No limit, or one the battery is below: charging is allowed and nothing drains it.
        expect(keys.ch0b == 0 && keys.ch0i == 0, "charging held or battery drained without a limit below the charge");
    } else {
        expect(keys.ch0b != 0, "the battery charges past its limit");
        expect((keys.ch0i == 1) == (*limit < kCharge), "forced discharge does not follow the limit");
    }

    w.log.clear();
    w.darwin.clearPosts();
    w.distributed.clearPosts();
    w.store.clearHistory();
    return 0;
}
