#pragma once
// Installs a test's ports as the process's ports, and puts the earlier ones back afterwards.

#include "platform/ports.h"

namespace wattkeeper::testkit {

class ScopedProcessPorts {
public:
    explicit ScopedProcessPorts(const Ports& ports) : saved_(processPorts()) { processPorts() = ports; }
    ~ScopedProcessPorts() { processPorts() = saved_; }
    ScopedProcessPorts(const ScopedProcessPorts&) = delete;
    ScopedProcessPorts& operator=(const ScopedProcessPorts&) = delete;

private:
    Ports saved_;
};

}  // namespace wattkeeper::testkit
