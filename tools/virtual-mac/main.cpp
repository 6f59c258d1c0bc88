// virtual-mac: the simulated MacBook (serve) and a person's commands to it.

#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/virtual-mac/commands.h"
#include "tools/virtual-mac/server.h"

namespace {

using namespace wattkeeper;
using namespace wattkeeper::virtual_mac;

// "14", "14.2" or "10.15.7".
std::optional<OperatingSystemVersion> parseVersion(const std::string& text) {
    std::vector<long> parts;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, '.')) {
        if (part.empty() || part.size() > 6 || part.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        parts.push_back(std::stol(part));
    }
    if (parts.empty() || parts.size() > 3) return std::nullopt;
    parts.resize(3, 0);
    return OperatingSystemVersion{parts[0], parts[1], parts[2]};
}

// A control request without an answer, sent with the values the command line has left in
// `arguments` by the time it runs.
template <class... Args>
std::function<int()> control(const char* member, const Args&... arguments) {
    return [member, &arguments...] {
        return withControl([&](sdbus::IProxy& proxy) {
            // Sleep answers once the machine is asleep, which its observers may put off.
            const auto timeout = std::string_view(member) == "Sleep"
                                     ? linux_backend::kVirtualMacCallTimeout + kSleepHoldLimit
                                     : linux_backend::kVirtualMacCallTimeout;
            proxy.callMethod(member)
                .onInterface(linux_backend::kControlInterface)
                .withTimeout(timeout)
                .withArguments(arguments...);
        });
    };
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "The virtual Mac: a simulated MacBook (battery, charger, SMC, lid, sleep, displays) on the bus "
        "in WATTKEEPER_BUS_ADDRESS, or on the system bus. `serve` runs it; every other command talks "
        "to the running one."};
    app.require_subcommand(1);
    std::function<int()> action;

    ServeOptions options;
    std::string root;
    std::string trace;
    std::string os = "14.0.0";
    auto* serveCommand = app.add_subcommand("serve", "Run the virtual Mac until SIGINT, SIGTERM or `quit`");
    serveCommand->add_option("--root", root, "Host folder that stands for the Mac's /")->required();
    serveCommand->add_option("--model", options.model, "hw.model; notebooks (MacBook..., Mac14,2, ...) have a lid")
        ->capture_default_str();
    serveCommand->add_option("--user", options.user, "Console user; empty for the login window")->capture_default_str();
    serveCommand->add_option("--charge", options.charge, "Battery charge in percent")
        ->check(CLI::Range(0.0, 100.0))
        ->capture_default_str();
    serveCommand->add_flag("--unplugged", options.unplugged, "Start on battery power");
    serveCommand->add_option("--time-scale", options.timeScale, "Simulated seconds per real second")
        ->check(CLI::Range(1e-6, 1e6))
        ->capture_default_str();
    serveCommand->add_option("--trace", trace, "Write the battery trace (CSV) to this file from the start");
    serveCommand->add_option("--displays", options.displays, "Displays attached")
        ->check(CLI::Range(0, 16))
        ->capture_default_str();
    serveCommand->add_option("--os", os, "Operating system version, e.g. 10.15.7")->capture_default_str();
    std::string firmware(sim::firmwareName(options.firmware));
    std::vector<std::string> firmwares;
    for (sim::Firmware each : sim::kFirmwares) firmwares.emplace_back(sim::firmwareName(each));
    serveCommand
        ->add_option("--firmware", firmware,
                     "SMC firmware generation: ch0b (CH0B/CH0C/CH0I), chte (CHTE/CHIE, macOS 15.7-26.6) or "
                     "placeholders (no usable charge keys, macOS 15.8, 26.7, 27)")
        ->check(CLI::IsMember(firmwares))
        ->capture_default_str();
    serveCommand->callback([&] {
        const auto version = parseVersion(os);
        if (!version) throw CLI::ValidationError("--os", "a version is one to three numbers: 14, 14.2, 10.15.7");
        options.os = *version;
        options.firmware = *sim::firmwareNamed(firmware);
        options.root = root;
        if (!trace.empty()) options.trace = std::filesystem::absolute(trace);
        action = [&options] { return serve(options); };
    });

    app.add_subcommand("plug", "Connect the power adapter")->callback([&] { action = control("Plug"); });
    app.add_subcommand("unplug", "Disconnect the power adapter")->callback([&] { action = control("Unplug"); });

    std::string position;
    auto* lid = app.add_subcommand("lid", "Open or close the lid");
    lid->add_option("position", position, "open or close")->required()->check(CLI::IsMember({"open", "close"}));
    bool closed = false;
    lid->callback([&] {
        closed = position == "close";
        action = control("SetLid", closed);
    });

    app.add_subcommand("sleep", "Put the machine to sleep")->callback([&] { action = control("Sleep"); });
    app.add_subcommand("wake", "Wake the machine")->callback([&] { action = control("Wake"); });

    double percent = 0.0;
    auto* charge = app.add_subcommand("charge", "Set the battery's charge");
    charge->add_option("percent", percent, "0 to 100")->required()->check(CLI::Range(0.0, 100.0));
    charge->callback([&] { action = control("SetCharge", percent); });

    std::string displayAction;
    auto* display = app.add_subcommand("display", "Attach or detach a display");
    display->add_option("action", displayAction, "add or remove")->required()->check(CLI::IsMember({"add", "remove"}));
    display->callback([&] { action = control(displayAction == "add" ? "AddDisplay" : "RemoveDisplay"); });

    double factor = 1.0;
    auto* timeScale = app.add_subcommand("time-scale", "Set how many simulated seconds pass per real second");
    timeScale->add_option("factor", factor, "above 0, at most 1000000")->required()->check(CLI::Range(1e-6, 1e6));
    timeScale->callback([&] { action = control("SetTimeScale", factor); });

    bool oneLine = false;
    auto* statusCommand = app.add_subcommand("status", "Print the battery, the charge keys, the lid and sleep");
    statusCommand->add_flag("--line", oneLine, "All on one line");
    statusCommand->callback([&] {
        action = [&oneLine] {
            return withControl([&oneLine](sdbus::IProxy& proxy) {
                linux_backend::BusDictionary status;
                proxy.callMethod("Status")
                    .onInterface(linux_backend::kControlInterface)
                    .withTimeout(linux_backend::kVirtualMacCallTimeout)
                    .storeResultsTo(status);
                std::cout << (oneLine ? formatStatusLine(status) + '\n' : formatStatus(status));
            });
        };
    });

    std::string tracePath;
    auto* traceCommand = app.add_subcommand("trace", "Record the battery and the keys over time");
    traceCommand->require_subcommand(1);
    auto* traceStart = traceCommand->add_subcommand("start", "Start writing the CSV trace to FILE");
    traceStart->add_option("file", tracePath, "The trace file, replaced if it exists")->required();
    traceStart->callback([&] {
        tracePath = std::filesystem::absolute(tracePath).string();
        action = control("StartTrace", tracePath);
    });
    traceCommand->add_subcommand("stop", "Stop the trace")->callback([&] { action = control("StopTrace"); });

    std::vector<std::string> identifiers;
    auto* apps = app.add_subcommand("apps", "The workspace's applications");
    apps->require_subcommand(1);
    auto* appsSet = apps->add_subcommand("set",
                                         "Replace the running applications by these bundle identifiers "
                                         "(\"\" for one without an identifier)");
    appsSet->add_option("id", identifiers, "Bundle identifiers");
    appsSet->callback([&] { action = control("SetRunningApplications", identifiers); });
    apps->add_subcommand("opened", "List the requests to open an application")->callback([&] {
        action = [] {
            return withControl([](sdbus::IProxy& proxy) {
                std::vector<sdbus::Struct<std::string, bool, bool, std::uint32_t>> requests;
                proxy.callMethod("OpenRequests")
                    .onInterface(linux_backend::kControlInterface)
                    .withTimeout(linux_backend::kVirtualMacCallTimeout)
                    .storeResultsTo(requests);
                for (const auto& request : requests) {
                    std::cout << std::get<0>(request) << (std::get<1>(request) ? " hidden" : " shown")
                              << (std::get<2>(request) ? " (open)" : " (launch)") << " options 0x" << std::hex
                              << std::get<3>(request) << std::dec << '\n';
                }
            });
        };
    });

    std::string user;
    auto* userCommand = app.add_subcommand("user", "Log a console user in; \"\" or loginwindow for the login window");
    userCommand->add_option("name", user, "Short name")->required();
    userCommand->callback([&] { action = control("SetConsoleUser", user); });

    app.add_subcommand("quit", "End the running virtual Mac")->callback([&] { action = control("Quit"); });

    CLI11_PARSE(app, argc, argv);
    return action ? action() : 1;
}
