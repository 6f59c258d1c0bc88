#include "platform/smc_driver.h"

#include <cstdint>

namespace wattkeeper {

std::string machErrorText(KernReturn code) {
    struct Entry {
        std::uint32_t code;
        const char* text;
    };
    // The codes this system can meet on the way to the SMC; the kernel's own table is far longer.
    static constexpr Entry kTexts[] = {
        {0x00000000, "(os/kern) successful"},
        {0x00000001, "(os/kern) invalid address"},
        {0x00000002, "(os/kern) protection failure"},
        {0x00000003, "(os/kern) no space available"},
        {0x00000004, "(os/kern) invalid argument"},
        {0x00000005, "(os/kern) failure"},
        {0x0000000f, "(os/kern) invalid name"},
        {0x10000003, "(ipc/send) invalid destination port"},
        {0x10000004, "(ipc/send) timed out"},
        {0xe00002bc, "(iokit/common) general error"},
        {0xe00002bd, "(iokit/common) can't allocate memory"},
        {0xe00002be, "(iokit/common) resource shortage"},
        {0xe00002c0, "(iokit/common) no such device"},
        {0xe00002c1, "(iokit/common) privilege violation"},
        {0xe00002c2, "(iokit/common) invalid argument"},
        {0xe00002c5, "(iokit/common) exclusive access and device already open"},
        {0xe00002c7, "(iokit/common) unsupported function"},
        {0xe00002cd, "(iokit/common) device not open"},
        {0xe00002d8, "(iokit/common) not ready"},
        {0xe00002e2, "(iokit/common) not permitted"},
        {0xe00002f0, "(iokit/common) data was not found"},
    };
    const auto raw = static_cast<std::uint32_t>(code);
    for (const Entry& entry : kTexts) {
        if (entry.code == raw) return entry.text;
    }
    return "unknown error code";
}

}  // namespace wattkeeper
