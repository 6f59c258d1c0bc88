#pragma once
// The I/O Kit main port, under the names the daemon's lookups use. macOS 12 renamed them
// (kIOMainPortDefault, IOMainPort) and marks the old names deprecated; the new ones do not exist
// before macOS 12. Both name MACH_PORT_NULL, "the default port", so the old names stay here, in
// one place, with the deprecation warning silenced.

#include <IOKit/IOKitLib.h>

namespace wattkeeper::macos_backend {

inline mach_port_t ioKitDefaultPort() {
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    return kIOMasterPortDefault;
#pragma clang diagnostic pop
}

// IOMasterPort with a null bootstrap port: a send right to the main port, which the caller
// gives back with mach_port_deallocate.
inline kern_return_t ioKitMainPort(mach_port_t* port) {
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    return IOMasterPort(MACH_PORT_NULL, port);
#pragma clang diagnostic pop
}

}  // namespace wattkeeper::macos_backend
