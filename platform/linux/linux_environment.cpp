#include "platform/linux/linux_environment.h"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <thread>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/linux/virtual_mac_bus.h"

namespace wattkeeper::linux_backend {

std::optional<std::string> virtualMacRootFolder(Bus& bus, int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(250));
        try {
            auto proxy = sdbus::createProxy(bus.connection(), kVirtualMacService, kVirtualMacPath);
            std::string root;
            proxy->callMethod("RootFolder")
                .onInterface(kMachineInterface)
                .withTimeout(kVirtualMacCallTimeout)
                .storeResultsTo(root);
            if (!root.empty()) return root;
        } catch (const std::exception&) {
            // Not there yet, or gone: try again.
        }
    }
    return std::nullopt;
}

std::string virtualMacToolsFolder() {
    if (const char* folder = std::getenv("WATTKEEPER_TOOLS_BIN"); folder && *folder) return folder;
    return WATTKEEPER_SOURCE_TOOLS_BIN;
}

}  // namespace wattkeeper::linux_backend
