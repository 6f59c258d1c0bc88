// Fuzzes the login item's reply relay and in-app request register: completions filed under any
// request name, then any names with any payloads (or none) arriving on the distributed center,
// delivered through in-memory centers on virtual time.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_kit.h"
#include "loginitem/notification_wrapper.h"
#include "loginitem/request_register.h"
#include "platform/ports.h"
#include "protocol/names.h"
#include "tests/kit/memory_centers.h"
#include "tests/kit/scoped_ports.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::fuzzing {
namespace {

using loginitem::Completion;
using loginitem::ZQDaemonNotificationRegister;
using loginitem::ZQNotificationWrapper;
using testkit::MemoryNotificationCenter;

// Every reply's payload that goes to the system log starts so.
class PrefixCheckingLog : public Log {
public:
    void standardOutput(std::string_view) override {}
    void systemLog(std::string_view line) override {
        expect(line.starts_with(loginitem::kReplyLogFormatPrefix), "a system log line without its prefix");
        ++systemLines;
    }
    std::size_t systemLines = 0;
};

std::string nameFrom(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            return std::string(in.PickValueInArray(protocol::kRequestNames));
        case 1:
            return std::string(in.PickValueInArray(protocol::kReplyNames));
        case 2:
            return std::string(in.PickValueInArray(protocol::kInAppRequestNames));
        case 3: {
            // A known name with a change a sloppy comparison would let through.
            std::string name(in.PickValueInArray(protocol::kReplyNames));
            if (!name.empty()) name.pop_back();
            return name + in.ConsumeRandomLengthString(2);
        }
        default:
            return in.ConsumeRandomLengthString(64);
    }
}

constexpr std::string_view kLocalNames[] = {protocol::kLocalLaunchDaemonEnable, protocol::kLocalLaunchDaemonRemove,
                                            protocol::kLocalLaunchDaemonSwitchEnable,
                                            protocol::kLocalPrivacyExitAppProcess, protocol::kLocalUninstallRemoveItem};

bool isLocalName(std::string_view name) {
    return std::find(std::begin(kLocalNames), std::end(kLocalNames), name) != std::end(kLocalNames);
}

// What the test knows about the delivery under way.
struct Delivery {
    std::string name;
    std::optional<PlistDictionary> payload;
};

struct Session {
    testkit::VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, MemoryNotificationCenter::Kind::Darwin};
    MemoryNotificationCenter distributed{loop, MemoryNotificationCenter::Kind::Distributed};
    testkit::MemoryLocalCenter local;
    PrefixCheckingLog log;
    std::optional<testkit::ScopedProcessPorts> scope;
    std::optional<Delivery> current;
    std::vector<int> calls;  // per completion filed

    Session() {
        Ports ports;
        ports.runLoop = &loop;
        ports.log = &log;
        ports.darwinCenter = &darwin;
        ports.distributedCenter = &distributed;
        ports.localCenter = &local;
        scope.emplace(ports);
        ZQNotificationWrapper::replaceShared(std::make_unique<ZQNotificationWrapper>(darwin, distributed, log));
        ZQDaemonNotificationRegister::replaceShared(
            std::make_unique<ZQDaemonNotificationRegister>(darwin, distributed, local));
    }
    ~Session() {
        ZQNotificationWrapper::replaceShared(nullptr);
        ZQDaemonNotificationRegister::replaceShared(nullptr);
    }

    // A completion that checks what it is handed. It may send a request of its own, as an
    // application answering one reply with the next request does.
    Completion completion(std::string_view slot, std::optional<std::string> nested, bool nestedEmpty) {
        const std::size_t id = calls.size();
        calls.push_back(0);
        return [this, id, slot = std::string(slot), nested, nestedEmpty](const PlistDictionary* got) {
            expect(++calls[id] == 1, "a completion runs twice");
            expect(current.has_value(), "a completion runs outside a delivery");
            expect(loginitem::handlerKeyForReply(current->name) == slot,
                   "a completion runs for a reply of another kind");
            expect(got ? current->payload && *got == *current->payload : !current->payload,
                   "a completion gets another payload than the reply's");
            if (nested) {
                Completion next;
                if (!nestedEmpty) next = completion(loginitem::handlerKeyForRequest(*nested), std::nullopt, false);
                ZQNotificationWrapper::sharedManager().sendNotificationAndWaitForResult(*nested, std::move(next));
            }
        };
    }
};

}  // namespace
}  // namespace wattkeeper::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wattkeeper;
    using namespace wattkeeper::fuzzing;
    FuzzedDataProvider in(data, size);
    Session s;
    ZQNotificationWrapper& relay = ZQNotificationWrapper::sharedManager();
    ZQDaemonNotificationRegister& reg = ZQDaemonNotificationRegister::manager();
    for (std::string_view name : protocol::kInAppRequestNames) reg.registerDistributedNotificationsWithName(name);
    if (in.ConsumeBool()) {
        // A further name for the common slot; a reply name would be observed twice.
        const std::string extra = nameFrom(in);
        if (std::find(protocol::kReplyNames.begin(), protocol::kReplyNames.end(), extra) ==
            protocol::kReplyNames.end()) {
            relay.registerDistributedNotificationsWithName(extra);
        }
    }

    for (int step = 0; step < 32 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: {
                // A request with its completion, perhaps one that sends another request.
                const std::string request = nameFrom(in);
                std::optional<std::string> nested;
                bool nestedEmpty = false;
                if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
                    nested = nameFrom(in);
                    nestedEmpty = in.ConsumeBool();
                }
                relay.sendNotificationAndWaitForResult(
                    request, s.completion(loginitem::handlerKeyForRequest(request), nested, nestedEmpty));
                break;
            }
            case 1:
                // A request that waits for nothing clears its slot.
                relay.sendNotificationAndWaitForResult(nameFrom(in), Completion());
                break;
            default: {
                Delivery delivery;
                delivery.name = nameFrom(in);
                if (in.ConsumeIntegralInRange<int>(0, 4) != 0) delivery.payload = plistDictionaryFrom(in, 4);
                const PlistDictionary* payload = delivery.payload ? &*delivery.payload : nullptr;

                const auto local = loginitem::localNameForRequest(delivery.name, payload);
                expect(!local || isLocalName(*local), "an in-app request turns into an unknown local name");

                const std::size_t localBefore = s.local.posts().size();
                const std::size_t logBefore = s.log.systemLines;
                s.current = delivery;
                s.distributed.postNotificationWithOptions(delivery.name, nullptr, payload, 3);
                s.loop.runUntilIdle();
                s.current.reset();

                const auto& posts = s.local.posts();
                expect(posts.size() == localBefore + (local ? 1 : 0), "the register forwards as it should not");
                if (local) {
                    expect(posts.back().name == *local, "the register forwards under another name");
                    expect(posts.back().userInfo == delivery.payload, "the register changes the payload");
                }
                expect(s.log.systemLines - logBefore <= 1, "a reply is logged more than once");
                break;
            }
        }
    }
    // Requests posted on the way go to the daemon, which is not there; nothing else may be left.
    s.loop.runUntilIdle();
    return 0;
}
