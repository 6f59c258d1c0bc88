#include "tests/integration/private_bus.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace wattkeeper::testkit {

namespace {

constexpr std::string_view kAddressVariables[] = {"WATTKEEPER_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS",
                                                  "DBUS_SYSTEM_BUS_ADDRESS"};

// Session-style: only the user who started it may connect, and within it everything is allowed,
// monitoring included (dbus-monitor). No service directories: nothing gets activated.
std::string configuration(const std::string& socket) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
           socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

// The address line among what the daemon printed; nothing before it has printed one.
std::string addressIn(const std::string& output) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("unix:", 0) == 0 && !lines.eof()) return line;
    }
    return {};
}

}  // namespace

PrivateBus::PrivateBus() {
    // Under /tmp (TempDir's place), not $TMPDIR: a socket path must stay within 108 bytes.
    std::ofstream(folder_.path() / "bus.conf") << configuration((folder_.path() / "bus").string());
    start();
}

void PrivateBus::start() {
    const auto output = folder_.path() / "daemon.log";
    std::vector<std::string> inherited;
    for (char** entry = environ; *entry != nullptr; ++entry) inherited.emplace_back(*entry);
    // setpriv has the daemon killed with this thread, even when the test is killed or crashes.
    daemon_.emplace(std::vector<std::string>{"/usr/bin/setpriv", "--pdeathsig", "KILL", "/usr/bin/dbus-daemon",
                                             "--config-file=" + (folder_.path() / "bus.conf").string(), "--nofork",
                                             "--nopidfile", "--print-address"},
                    inherited, output);
    waitUntil([&] { return !addressIn(readFile(output)).empty() || daemon_->waitExit(0ms); });
    address_ = addressIn(readFile(output));
    if (address_.empty()) throw std::runtime_error("private bus: dbus-daemon printed no address: " + readFile(output));
    // Without the bus daemon's own guid, so that a new one at the same path is the same bus.
    address_.erase(std::min(address_.find(",guid="), address_.size()));
}

void PrivateBus::restart() {
    daemon_.reset();  // which removes its socket
    start();
}

std::vector<std::string> PrivateBus::environment() const {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto name = text.substr(0, text.find('='));
        bool replaced = false;
        for (auto variable : kAddressVariables) replaced = replaced || name == variable;
        if (!replaced) entries.emplace_back(text);
    }
    for (auto variable : kAddressVariables) entries.push_back(std::string(variable) + "=" + address_);
    return entries;
}

}  // namespace wattkeeper::testkit
