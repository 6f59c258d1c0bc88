#pragma once
// Helpers shared by the fuzz targets: a log that keeps nothing, property-list values built from
// fuzz bytes, and a check that stops a run the way a crash does.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/log.h"
#include "platform/plist.h"

namespace wattkeeper::fuzzing {

// Millions of inputs would otherwise pile up their log lines.
class DiscardingLog : public Log {
public:
    void standardOutput(std::string_view) override {}
    void systemLog(std::string_view) override {}
};

// A broken expectation is a finding: report it and abort, so libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz expectation failed: %s\n", what);
    std::abort();
}
inline void expect(bool condition, const char* what) {
    if (!condition) fail(what);
}

// A value of any kind, nested at most `depth` containers deep. Strings may be anything,
// including invalid UTF-8 and zero bytes, since payloads from other processes can be.
inline PlistValue plistValueFrom(FuzzedDataProvider& in, int depth);

inline PlistDictionary plistDictionaryFrom(FuzzedDataProvider& in, int depth) {
    PlistDictionary dictionary;
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 6);
    for (std::size_t k = 0; k < count && in.remaining_bytes() > 0; ++k) {
        std::string key = in.ConsumeRandomLengthString(24);
        dictionary.set(std::move(key), plistValueFrom(in, depth - 1));
    }
    return dictionary;
}

inline PlistValue plistValueFrom(FuzzedDataProvider& in, int depth) {
    const int kind = in.ConsumeIntegralInRange<int>(0, depth > 0 ? 8 : 6);
    switch (kind) {
        case 0:
            return PlistValue(in.ConsumeRandomLengthString(32));
        case 1:
            return PlistValue(in.ConsumeIntegral<std::int64_t>());
        case 2:
            return PlistValue(in.ConsumeIntegralInRange<std::int64_t>(-3, 120));
        case 3:
            return PlistValue(in.ConsumeFloatingPoint<double>());
        case 4:
            return PlistValue(in.ConsumeBool());
        case 5:
            return PlistValue(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 16)));
        case 6:
            return PlistValue(PlistDate{in.ConsumeFloatingPoint<double>()});
        case 7:
            return PlistValue(plistDictionaryFrom(in, depth));
        default: {
            PlistArray array;
            const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 6);
            for (std::size_t k = 0; k < count && in.remaining_bytes() > 0; ++k) {
                array.push_back(plistValueFrom(in, depth - 1));
            }
            return PlistValue(std::move(array));
        }
    }
}

}  // namespace wattkeeper::fuzzing
