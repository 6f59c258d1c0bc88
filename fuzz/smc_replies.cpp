// Fuzzes the SMC client and the charge-control manager against a driver whose every answer
// comes from the input: the 80-byte replies (raw, or shaped with a size, a type and value
// bytes), the kernel's return codes and texts, and the service lookup and open.
//
// The rest of the input picks the operations, their keys and their arguments.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "daemon/smc/smc.h"
#include "daemon/smc/smc_manager.h"
#include "fuzz/fuzz_kit.h"
#include "platform/utf8.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::fuzzing {
namespace {

using namespace daemon;

// Thrown by the driver to end an enumeration that would not end in reasonable time.
struct EnumerationCut {};

// A real SMC has a few thousand keys; "#KEY" may claim up to 2^32 and the client would ask for
// every index. The driver answers index requests without reading the input and stops the
// enumeration after this many.
constexpr std::size_t kMaxIndexRequests = 4096;

constexpr std::string_view kKeys[] = {"CH0B", "CH0C", "CH0I", "#KEY", "FS! ", "F0Md", "F1Md", "F0Mx",
                                      "F1Mx", "F0Tg", "F1Tg", "F0Ac", "TC0P", "BNum", "RPlt", "MSSP"};
constexpr std::string_view kTypes[] = {"ui8 ", "ui16", "ui32", "sp1e", "sp3c", "sp5b", "sp5a", "sp669",
                                       "sp78", "sp87", "sp96", "spb4", "spf0", "flt ", "fpe2", "fp2e",
                                       "{fds", "hex_", "flag", "ch8*", "si8 ", "si16"};
constexpr KernReturn kCodes[] = {kDriverError,
                                 kDriverBadArgument,
                                 kDriverNotFound,
                                 kMachSendInvalidDest,
                                 static_cast<KernReturn>(0xe00002c7),
                                 static_cast<KernReturn>(0xe00002d8)};

class ReplyingDriver : public SmcDriver {
public:
    explicit ReplyingDriver(FuzzedDataProvider& in) : in_(in) {}

    void startOperation() { indexRequests_ = 0; }

    std::optional<MatchingDictionary> serviceMatching(std::string_view className) override {
        if (in_.ConsumeIntegral<std::uint8_t>() == 0xFF) return std::nullopt;
        return MatchingDictionary{std::string(className)};
    }
    KernReturn getMatchingServices(const MatchingDictionary&, IoObject* iterator) override {
        *iterator = 0x1001;
        return kernReturn();
    }
    IoObject iteratorNext(IoObject) override { return in_.ConsumeIntegral<std::uint8_t>() == 0xFF ? 0 : 0x2001; }
    KernReturn objectRelease(IoObject) override { return kKernSuccess; }
    KernReturn serviceOpen(IoObject, std::uint32_t, IoConnect* connect) override {
        const KernReturn result = kernReturn();
        if (result == kKernSuccess) *connect = in_.ConsumeIntegral<IoConnect>();
        return result;
    }
    KernReturn serviceClose(IoConnect) override { return kernReturn(); }

    KernReturn callStructMethod(IoConnect, std::uint32_t selector, const void* input, std::size_t inputSize,
                                void* output, std::size_t* outputSize) override {
        expect(selector == 2, "the client calls another selector than the kernel index");
        expect(input && output && outputSize, "the client passes a null record");
        expect(inputSize == sizeof(SMCKeyData_t) && *outputSize == sizeof(SMCKeyData_t),
               "the client passes a record that is not 80 bytes");
        SMCKeyData_t request;
        std::memcpy(&request, input, sizeof request);
        checkRequest(request);

        if (request.data8 == static_cast<std::uint8_t>(SMCKeys::readIndex)) {
            if (++indexRequests_ > kMaxIndexRequests) throw EnumerationCut{};
            SMCKeyData_t reply = zeroedKeyData();
            reply.key = 0x41000000u + request.data32;
            std::memcpy(output, &reply, sizeof reply);
            return kKernSuccess;
        }

        const KernReturn result = kernReturn();
        std::array<std::uint8_t, sizeof(SMCKeyData_t)> reply;
        std::memcpy(reply.data(), output, reply.size());
        std::size_t written = reply.size();
        if (in_.ConsumeBool()) {
            // Raw: any bytes, possibly fewer than a record.
            const auto bytes = in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, reply.size()));
            std::copy(bytes.begin(), bytes.end(), reply.begin());
            written = bytes.size();
        } else {
            // Shaped: a size, a known or odd type, value bytes, the controller's result byte.
            SMCKeyData_t shaped = zeroedKeyData();
            shaped.key = request.key;
            shaped.keyInfo.dataSize = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<std::uint32_t>(0, 40)
                                                        : in_.ConsumeIntegral<std::uint32_t>();
            const std::string_view type = in_.PickValueInArray(kTypes);
            std::uint32_t code = 0;
            for (std::size_t k = 0; k < 4; ++k) code = (code << 8) | static_cast<std::uint8_t>(type[k]);
            shaped.keyInfo.dataType = in_.ConsumeBool() ? code : in_.ConsumeIntegral<std::uint32_t>();
            shaped.result = in_.ConsumeIntegral<std::uint8_t>();
            const auto bytes = in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, 32));
            std::copy(bytes.begin(), bytes.end(), shaped.bytes.begin());
            std::memcpy(reply.data(), &shaped, sizeof shaped);
        }
        std::memcpy(output, reply.data(), reply.size());
        *outputSize = written;
        return result;
    }

    std::string machErrorString(KernReturn) override { return in_.ConsumeRandomLengthString(48); }

private:
    KernReturn kernReturn() {
        const std::uint8_t pick = in_.ConsumeIntegral<std::uint8_t>();
        if (pick < 192) return kKernSuccess;
        if (pick < 250) return kCodes[pick % std::size(kCodes)];
        return in_.ConsumeIntegral<KernReturn>();
    }

    // What the client sends: a command it knows, an addressable key, no more than 32 value bytes.
    static void checkRequest(const SMCKeyData_t& request) {
        const auto command = smcKeysFromRaw(request.data8);
        expect(command == SMCKeys::readBytes || command == SMCKeys::writeBytes || command == SMCKeys::readIndex ||
                   command == SMCKeys::readKeyInfo,
               "the client sends a command it has no use for");
        if (command == SMCKeys::readIndex) return;
        for (int shift = 0; shift < 32; shift += 8) {
            expect(((request.key >> shift) & 0x80) == 0, "the client sends a key that is not four ASCII characters");
        }
        expect(request.keyInfo.dataSize <= 32, "the client asks for more than the 32 value bytes");
    }

    FuzzedDataProvider& in_;
    std::size_t indexRequests_ = 0;
};

std::string keyFrom(FuzzedDataProvider& in) {
    if (in.ConsumeIntegral<std::uint8_t>() < 224) return std::string(in.PickValueInArray(kKeys));
    return in.ConsumeRandomLengthString(6);
}

void checkText(const std::optional<std::string>& text) {
    if (!text) return;
    expect(isValidUtf8(*text), "a string value is not UTF-8");
    expect(!text->starts_with(' ') && !text->ends_with(' '), "a string value keeps its blanks");
}

}  // namespace
}  // namespace wattkeeper::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wattkeeper;
    using namespace wattkeeper::fuzzing;
    using namespace wattkeeper::daemon;
    FuzzedDataProvider in(data, size);
    DiscardingLog log;
    testkit::VirtualRunLoop loop;
    ReplyingDriver driver(in);
    {
        SMC smc(driver, log);
        ZQSMCManager manager(smc, loop, log);
        const auto byte = [&] { return in.ConsumeIntegralInRange<std::int64_t>(-2, 300); };
        const auto inRange = [](std::int64_t status, const char* what) { expect(status >= 0 && status <= 255, what); };
        const std::function<void()> operations[] = {
            [&] { (void)smc.open(); },
            [&] { (void)smc.close(); },
            [&] {
                SMCVal_t value{keyFrom(in)};
                if (smc.read(value) != kKernSuccess) return;
                expect(value.dataSize <= 32, "a value larger than its 32 bytes");
                expect(value.dataType.size() >= 4 && value.dataType.size() <= 8, "a type that is not four characters");
            },
            [&] {
                SMCVal_t value{keyFrom(in)};
                value.dataSize = in.ConsumeIntegralInRange<std::uint32_t>(0, 32);
                const auto bytes = in.ConsumeBytes<std::uint8_t>(value.dataSize);
                std::copy(bytes.begin(), bytes.end(), value.bytes.begin());
                (void)smc.write(value);
            },
            [&] { (void)smc.getValue(keyFrom(in)); },
            [&] { checkText(smc.getStringValue(keyFrom(in))); },
            [&] {
                try {
                    (void)smc.getAllKeys();
                } catch (const EnumerationCut&) {
                }
            },
            [&] { (void)smc.writeFPE2(keyFrom(in), in.ConsumeIntegralInRange<std::int64_t>(-2, 17000)); },
            [&] { (void)smc.isChargeKeyReadable(); },
            [&] {
                const auto value = smc.getUInt8Value(keyFrom(in));
                expect(!value || (*value >= 0 && *value <= 255), "a one-byte value out of range");
            },
            [&] { smc.setUInt8Value(keyFrom(in), byte()); },
            [&] {
                smc.setFanMode(in.ConsumeIntegralInRange<int>(-1, 3),
                               in.ConsumeBool() ? FanMode::forced : FanMode::automatic);
            },
            [&] { smc.setFanSpeed(in.ConsumeIntegralInRange<int>(-1, 3), in.ConsumeIntegral<int>()); },
            [&] { smc.resetFans(); },
            [&] {
                const std::string text = smc.errorText(in.ConsumeIntegral<KernReturn>());
                expect(std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; }),
                       "an error text that is not ASCII");
            },
            [&] { manager.openCMC(); },
            [&] { manager.closeCMC(); },
            [&] { (void)manager.getcmcStatus(); },
            [&] { manager.enable_discharging(); },
            [&] { manager.disable_discharging(); },
            [&] { manager.enable_charging(); },
            [&] { manager.disable_charging(); },
            [&] { inRange(manager.get_charging_status(), "a charging status out of range"); },
            [&] { inRange(manager.get_discharging_status(), "a discharging status out of range"); },
            [&] { manager.getBatteryChargeInfo(); },
            [&] { manager.setbatteryWithKey(keyFrom(in), byte()); },
            // The delayed writes of enable_charging and disable_charging.
            [&] { loop.advance(std::chrono::milliseconds(in.ConsumeIntegralInRange<int>(0, 1500))); },
        };
        for (int step = 0; step < 48 && in.remaining_bytes() > 0; ++step) {
            driver.startOperation();
            // One pick more than there are operations: the last takes both, as when the corpus grew.
            operations[std::min(in.ConsumeIntegralInRange<std::size_t>(0, 27), std::size(operations) - 1)]();
        }
        driver.startOperation();
        loop.advance(std::chrono::seconds(2));
    }
    return 0;
}
