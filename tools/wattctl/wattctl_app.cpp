#include "tools/wattctl/wattctl_app.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <utility>

#include "loginitem/localization.h"
#include "platform/linux/linux_defaults.h"
#include "platform/linux/plist_codec.h"
#include "platform/linux/posix_file_system.h"
#include "protocol/config.h"
#include "protocol/names.h"

namespace wattkeeper::wattctl {

using loginitem::ZQLocalizationSystem;
namespace {

constexpr std::size_t kMaxLimitFileBytes = std::size_t{1} << 20;
constexpr std::string_view kOnAdapter = "AC Power";
constexpr std::string_view kOnBattery = "Battery Power";

std::string text(std::string_view key) { return ZQLocalizationSystem::localizedStringForKey(key, std::nullopt); }

std::string text(std::string_view key, const std::vector<std::string>& arguments) { return fill(text(key), arguments); }

void line(std::ostream& stream, const std::string& content) { stream << content << '\n' << std::flush; }

std::string joined(const std::vector<std::string>& parts) {
    const std::string separator = text("separator");
    std::string all;
    for (const auto& part : parts) {
        if (!all.empty()) all += separator;
        all += part;
    }
    return all;
}

std::optional<std::int64_t> numberIn(const PlistDictionary* payload, std::string_view key) {
    if (!payload) return std::nullopt;
    const PlistValue* value = payload->find(key);
    if (!value) return std::nullopt;
    if (const std::string* s = value->asString(); s && !isNumericString(*s)) return std::nullopt;
    return integerValue(*value);
}

// The text for a 0/1 flag of a reply; nothing when the reply lacks it.
std::optional<std::string> flagText(const PlistDictionary* payload, std::string_view key, std::string_view whenOne,
                                    std::string_view otherwise) {
    const auto number = numberIn(payload, key);
    if (!number) return std::nullopt;
    return text(*number == 1 ? whenOne : otherwise);
}

void addIf(std::vector<std::string>& lines, std::optional<std::string> entry) {
    if (entry) lines.push_back(std::move(*entry));
}

std::vector<std::string> chargingLines(const PlistDictionary* payload) {
    std::vector<std::string> lines;
    addIf(lines,
          flagText(payload, protocol::kKeyChargingStatus, "status.charging.allowed", "status.charging.inhibited"));
    addIf(lines, flagText(payload, protocol::kKeyDischargingStatus, "status.discharging.on", "status.discharging.off"));
    return lines;
}

std::vector<std::string> loadLines(const PlistDictionary* payload) {
    std::vector<std::string> lines;
    addIf(lines, flagText(payload, protocol::kKeyStatus, "status.daemon.root", "status.daemon.notRoot"));
    const PlistValue* version = payload ? payload->find(protocol::kKeyVersion) : nullptr;
    if (version && version->asString()) {
        lines.push_back(text("status.version", {*version->asString()}));
    } else {
        lines.push_back(text("status.version.unknown"));
    }
    return lines;
}

// The SMC's state, and why it is not usable when the firmware is the reason.
std::vector<std::string> smcLines(const PlistDictionary* payload) {
    std::vector<std::string> lines;
    addIf(lines, flagText(payload, protocol::kKeySmcStatus, "status.smc.usable", "status.smc.unusable"));
    if (numberIn(payload, protocol::kKeyNoUsableChargeKeys) == 1) lines.push_back(text("status.smc.noUsableKeys"));
    return lines;
}

std::vector<std::string> heartLines(const PlistDictionary* payload) {
    std::vector<std::string> lines{text("status.heart")};
    for (auto& entry : smcLines(payload)) lines.push_back(std::move(entry));
    addIf(lines, flagText(payload, protocol::kKeySmcTimerActive, "status.timer.active", "status.timer.inactive"));
    return lines;
}

// Seconds as a person reads them: "3", "2.5".
std::string secondsText(Duration d) {
    const double seconds = std::chrono::duration<double>(d).count();
    std::string s = std::to_string(std::round(seconds * 10) / 10);
    s.erase(s.find_last_not_of('0') + 1);
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

}  // namespace

std::optional<std::string> requestedLanguage(int argc, const char* const* argv) {
    constexpr std::string_view kOption = "--lang";
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == kOption && i + 1 < argc) return std::string(argv[i + 1]);
        if (arg.starts_with(kOption) && arg.size() > kOption.size() && arg[kOption.size()] == '=') {
            return std::string(arg.substr(kOption.size() + 1));
        }
    }
    return std::nullopt;
}

std::string fill(std::string_view format, const std::vector<std::string>& arguments) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%' || i + 1 == format.size()) {
            out += c;
            continue;
        }
        const char conversion = format[i + 1];
        if (conversion == '%') {
            out += '%';
        } else if (conversion == 'd' || conversion == 's' || conversion == '@') {
            if (next < arguments.size()) out += arguments[next++];
        } else {
            out += c;
            continue;
        }
        ++i;
    }
    return out;
}

std::string limitFilePath(std::string_view user) {
    std::string path = "/Users/";
    path += user;
    path += "/Library/Containers/";
    path += protocol::MainAppBundleId;
    path += "/Data/Documents/";
    path += kLimitFileName;
    return path;
}

struct WattctlApp::Options {
    std::string language;
    std::string root;
    std::string user;
    double timeoutSeconds = std::chrono::duration<double>(kDefaultTimeout).count();
    int percent = 0;
    std::string state;
    double intervalSeconds = std::chrono::duration<double>(kDefaultWatchInterval).count();
    int count = 0;
    bool waitsOnLoop = false;

    std::chrono::milliseconds timeout() const {
        return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(timeoutSeconds * 1000)));
    }
};

// The four replies of a status request, as they arrive.
struct WattctlApp::StatusReport {
    std::optional<std::optional<PlistDictionary>> load, heart, smc, charging;
    bool complete() const { return load && heart && smc && charging; }
};

WattctlApp::WattctlApp(Context context)
    : context_(std::move(context)), options_(std::make_unique<Options>()), self_(std::make_shared<WattctlApp*>(this)) {}

WattctlApp::~WattctlApp() { *self_ = nullptr; }

void WattctlApp::start(int argc, const char* const* argv) {
    startedAt_ = context_.runLoop.now();
    if (const auto language = requestedLanguage(argc, argv)) ZQLocalizationSystem::setLanguage(*language);

    Options& o = *options_;
    CLI::App app{text("usage.description"), "wattctl"};
    app.set_help_flag("-h,--help", text("usage.help"));
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--lang", o.language, text("usage.lang"))->check(CLI::IsMember({"en", "zh-Hans"}));
    app.add_option("--root", o.root, text("usage.root"));
    app.add_option("--user", o.user, text("usage.user"));
    app.add_option("--timeout", o.timeoutSeconds, text("usage.timeout"))
        ->capture_default_str()
        ->check(CLI::Range(0.01, 86400.0));

    CLI::App* limit = app.add_subcommand("limit", text("usage.limit"));
    limit->add_option("percent", o.percent, text("usage.limit.percent"))->required()->check(CLI::Range(0, 100));
    CLI::App* on = app.add_subcommand("on", text("usage.on"));
    CLI::App* off = app.add_subcommand("off", text("usage.off"));
    CLI::App* status = app.add_subcommand("status", text("usage.status"));
    CLI::App* charging = app.add_subcommand("charging", text("usage.charging"));
    charging->add_option("state", o.state, text("usage.state"))->required()->check(CLI::IsMember({"on", "off"}));
    CLI::App* discharging = app.add_subcommand("discharging", text("usage.discharging"));
    discharging->add_option("state", o.state, text("usage.state"))->required()->check(CLI::IsMember({"on", "off"}));
    CLI::App* install = app.add_subcommand("install", text("usage.install"));
    CLI::App* uninstall = app.add_subcommand("uninstall", text("usage.uninstall"));
    CLI::App* restart = app.add_subcommand("restart", text("usage.restart"));
    CLI::App* watch = app.add_subcommand("watch", text("usage.watch"));
    watch->add_option("--interval", o.intervalSeconds, text("usage.watch.interval"))
        ->capture_default_str()
        ->check(CLI::Range(0.01, 86400.0));
    watch->add_option("--count", o.count, text("usage.watch.count"))
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        finished_ = true;
        status_ = app.exit(error, context_.out, context_.err);
        return;
    }

    const bool switchOn = o.state == "on";
    if (limit->parsed()) {
        runLimit(o.percent);
    } else if (on->parsed()) {
        runPost(protocol::kOpenSMC, "result.chargeControl.opened");
    } else if (off->parsed()) {
        runPost(protocol::kCloseSMC, "result.chargeControl.closed");
    } else if (status->parsed()) {
        runStatus();
    } else if (charging->parsed()) {
        runSwitch(switchOn ? protocol::kEnableCharging : protocol::kDisableCharging);
    } else if (discharging->parsed()) {
        runSwitch(switchOn ? protocol::kEnableDischarging : protocol::kDisableDischarging);
    } else if (install->parsed()) {
        runInstall();
    } else if (uninstall->parsed()) {
        runAnnounced(protocol::kUninstallHelper, "result.uninstallStarted");
    } else if (restart->parsed()) {
        runAnnounced(protocol::kRestart, "result.restartStarted");
    } else if (watch->parsed()) {
        const auto interval =
            std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(o.intervalSeconds * 1000)));
        runWatch(interval, o.count);
    }
    o.waitsOnLoop = !finished_;
}

void WattctlApp::finish(int status) {
    if (finished_) return;
    finished_ = true;
    status_ = status;
    context_.out.flush();
    // A command that ended inside start() never made the caller serve the loop.
    if (options_->waitsOnLoop) context_.runLoop.stop();
}

std::optional<std::string> WattctlApp::root() const {
    if (!options_->root.empty()) return options_->root;
    return context_.rootFolder ? context_.rootFolder() : std::nullopt;
}

std::optional<std::string> WattctlApp::user() const {
    if (!options_->user.empty()) return options_->user;
    return context_.consoleUser ? context_.consoleUser() : std::nullopt;
}

// --- Commands ---

void WattctlApp::runLimit(int percent) {
    const auto rootFolder = root();
    const auto consoleUser = user();
    if (!rootFolder || !consoleUser) {
        line(context_.err, text("error.noLocation"));
        return finish(kFailureStatus);
    }
    const std::string path = limitFilePath(*consoleUser);
    const auto bytes = linux_backend::plistToBytes(PlistValue(PlistDictionary{{std::string(kLimitKey), percent}}),
                                                   linux_backend::PlistFormat::Xml);
    // The daemon reads the file on the request, so it must be complete before the request goes.
    if (!bytes || !linux_backend::replaceFileBelowRoot(*rootFolder, path, *bytes)) {
        line(context_.err, text("error.writeLimit", {path}));
        return finish(kFailureStatus);
    }
    line(context_.out, text("result.limitWritten", {std::to_string(percent), path}));
    runPost(protocol::kLimitChange, "result.limitChanged");
}

// As the main application (and packaging/macos/install.sh) installs the daemon on a Mac: a loaded
// job is unloaded, the bundle and the job file are put in place, and the job is loaded.
void WattctlApp::runInstall() {
    namespace fs = std::filesystem;
    const auto rootFolder = root();
    if (!rootFolder || !context_.launchctl) {
        line(context_.err, text("error.noLocation"));
        return finish(kFailureStatus);
    }
    const std::string label(protocol::HelperLabel);
    const std::string jobPath = "/Library/LaunchDaemons/" + label + ".plist";
    const std::string bundlePath = "/Library/Application Support/Halvorn/Battery/Wattkeeper.app";
    const fs::path bundleSource = fs::path(context_.buildFolder) / "bundles/Wattkeeper.app";
    const fs::path jobSource = fs::path(context_.buildFolder) / "LaunchDaemons" / (label + ".plist");
    const fs::path bundle = fs::path(*rootFolder) / bundlePath.substr(1);
    const fs::path job = fs::path(*rootFolder) / jobPath.substr(1);
    // A job installed before is unloaded first; its failing is no failure here.
    std::error_code ignored;
    if (fs::exists(job, ignored)) context_.launchctl({"unload", jobPath});
    try {
        fs::remove_all(bundle);
        fs::create_directories(bundle.parent_path());
        fs::copy(bundleSource, bundle, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::create_directories(job.parent_path());
        fs::copy_file(jobSource, job, fs::copy_options::overwrite_existing);
        // launchd refuses a job file that others may change.
        fs::permissions(
            job, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    } catch (const fs::filesystem_error& error) {
        line(context_.err, text("error.install", {error.what()}));
        return finish(kFailureStatus);
    }
    if (context_.launchctl({"load", jobPath}) != 0) {
        line(context_.err, text("error.install", {"launchctl load " + jobPath}));
        return finish(kFailureStatus);
    }
    line(context_.out, text("result.installed", {bundlePath, jobPath}));
    finish(0);
}

void WattctlApp::runPost(std::string_view request, std::string_view resultKey) {
    context_.relay.sendNotificationAndWaitForResult(request, nullptr);
    line(context_.out, text(resultKey));
    finish(0);
}

void WattctlApp::awaitReply(std::string_view request, loginitem::Completion onReply) {
    auto self = self_;
    auto guarded = [self, onReply = std::move(onReply)](const PlistDictionary* payload) {
        if (*self && !(*self)->finished_) onReply(payload);
    };
    context_.relay.sendNotificationAndWaitForResult(request, std::move(guarded));
}

void WattctlApp::armDeadline() {
    auto self = self_;
    context_.runLoop.after(options_->timeout(), [self] {
        WattctlApp* app = *self;
        if (!app || app->finished_) return;
        line(app->context_.err, text("error.noAnswer"));
        app->finish(kNoAnswerStatus);
    });
}

void WattctlApp::runStatus() {
    report_ = std::make_shared<StatusReport>();
    awaitReply(protocol::kQueryDeamonLoadStatus, storeIn(&StatusReport::load));
    awaitReply(protocol::kHeart, storeIn(&StatusReport::heart));
    awaitReply(protocol::kQuerySMCChargingStatus, storeIn(&StatusReport::charging));
    context_.relay.sendNotificationAndWaitForResult(protocol::kQuerySMCOpenCloseStatus, smcStateWaiter());
    armDeadline();
}

loginitem::Completion WattctlApp::storeIn(ReplyField field) {
    return [this, field](const PlistDictionary* payload) {
        (*report_).*field = payload ? std::optional<PlistDictionary>(*payload) : std::nullopt;
        if (!report_->complete()) return;
        printReport(*report_);
        finish(0);
    };
}

// The common slot is shared with other answers (a result of another process's request); one
// without the daemon::SMC state puts the waiter back in place rather than ending the wait.
loginitem::Completion WattctlApp::smcStateWaiter() {
    auto self = self_;
    auto store = storeIn(&StatusReport::smc);
    return [self, store](const PlistDictionary* payload) {
        WattctlApp* app = *self;
        if (!app || app->finished_) return;
        if (!payload || !payload->contains(protocol::kKeySmcStatus)) {
            app->context_.relay.completionHandlers().insert_or_assign(std::string(loginitem::kHandlerQueryDeamonNormal),
                                                                      app->smcStateWaiter());
            return;
        }
        store(payload);
    };
}

void WattctlApp::printReport(const StatusReport& report) {
    std::vector<std::string> lines{text("status.title")};
    auto payload = [](const std::optional<std::optional<PlistDictionary>>& reply) -> const PlistDictionary* {
        return reply && *reply ? &**reply : nullptr;
    };
    for (auto& entry : loadLines(payload(report.load))) lines.push_back(std::move(entry));
    lines.push_back(text("status.heart"));
    for (auto& entry : smcLines(payload(report.smc))) lines.push_back(std::move(entry));
    addIf(lines, flagText(payload(report.heart), protocol::kKeySmcTimerActive, "status.timer.active",
                          "status.timer.inactive"));
    for (auto& entry : chargingLines(payload(report.charging))) lines.push_back(std::move(entry));
    for (auto& entry : batteryLines()) lines.push_back(std::move(entry));
    lines.push_back(limitText());
    for (const auto& entry : lines) line(context_.out, entry);
}

void WattctlApp::runSwitch(std::string_view request) {
    // The daemon answers a switch with the charging-status reply, whose slot the switch request
    // itself does not file into; so the completion waits there, and the switch only posts.
    auto self = self_;
    context_.relay.completionHandlers().insert_or_assign(std::string(loginitem::kHandlerQuerySMCChargingStatus),
                                                         [self](const PlistDictionary* payload) {
                                                             WattctlApp* app = *self;
                                                             if (!app || app->finished_) return;
                                                             for (const auto& entry : chargingLines(payload))
                                                                 line(app->context_.out, entry);
                                                             app->finish(0);
                                                         });
    context_.relay.sendNotificationAndWaitForResult(request, nullptr);
    armDeadline();
}

void WattctlApp::runAnnounced(std::string_view request, std::string_view resultKey) {
    const std::string key(resultKey);
    awaitReply(request, [this, key](const PlistDictionary*) {
        line(context_.out, text(key));
        finish(0);
    });
    armDeadline();
}

// --- Following the daemon ---

void WattctlApp::runWatch(std::chrono::milliseconds interval, int count) {
    line(context_.out, text("watch.started", {secondsText(interval)}));
    for (std::string_view key : {loginitem::kHandlerQueryDeamonLoadStatus, loginitem::kHandlerQuerySMCChargingStatus,
                                 loginitem::kHandlerUninstallHelper, loginitem::kHandlerBatteryHeart,
                                 loginitem::kHandlerHelperRestart, loginitem::kHandlerQueryDeamonNormal}) {
        context_.relay.completionHandlers().insert_or_assign(std::string(key), watcher(std::string(key)));
    }
    watchTick(interval, count > 0 ? count : -1);
}

void WattctlApp::watchLine(const std::string& content) {
    line(context_.out, text("watch.line", {secondsText(context_.runLoop.now() - startedAt_), content}));
}

// A completion that shows each reply of its slot and files itself again, so the slot keeps
// listening between the requests a look sends.
loginitem::Completion WattctlApp::watcher(std::string handlerKey) {
    auto self = self_;
    return [self, key = std::move(handlerKey)](const PlistDictionary* payload) {
        WattctlApp* app = *self;
        if (!app || app->finished_) return;
        ++app->watchReplies_;
        app->watchLine(app->replyText(key, payload));
        app->context_.relay.completionHandlers().insert_or_assign(key, app->watcher(key));
    };
}

void WattctlApp::watchTick(std::chrono::milliseconds interval, int remaining) {
    if (watchLooks_ > 0 && watchReplies_ == repliesAtLastLook_) watchLine(text("error.noAnswer"));
    if (remaining == 0) return finish(0);
    ++watchLooks_;
    repliesAtLastLook_ = watchReplies_;
    watchLine(joined(batteryLines()));
    for (std::string_view request : {protocol::kHeart, protocol::kQuerySMCChargingStatus}) {
        context_.relay.sendNotificationAndWaitForResult(request,
                                                        watcher(std::string(loginitem::handlerKeyForRequest(request))));
    }
    auto self = self_;
    context_.runLoop.after(interval, [self, interval, remaining] {
        if (*self && !(*self)->finished_) (*self)->watchTick(interval, remaining > 0 ? remaining - 1 : -1);
    });
}

std::string WattctlApp::replyText(std::string_view handlerKey, const PlistDictionary* payload) const {
    if (handlerKey == loginitem::kHandlerQueryDeamonLoadStatus) return joined(loadLines(payload));
    if (handlerKey == loginitem::kHandlerQuerySMCChargingStatus) return joined(chargingLines(payload));
    if (handlerKey == loginitem::kHandlerUninstallHelper) return text("result.uninstallStarted");
    if (handlerKey == loginitem::kHandlerBatteryHeart) return joined(heartLines(payload));
    if (handlerKey == loginitem::kHandlerHelperRestart) return text("result.restartStarted");
    if (payload && payload->contains(protocol::kKeySmcStatus)) return joined(smcLines(payload));
    const PlistValue* result = payload ? payload->find(protocol::kKeyResult) : nullptr;
    if (result && result->asString()) return text("result.daemonResult", {*result->asString()});
    return text("result.daemonResult", {payload ? describe(*payload) : std::string("-")});
}

// --- The machine ---

std::vector<std::string> WattctlApp::batteryLines() const {
    std::optional<PowerSourceList> sources;
    if (context_.powerSources) sources = context_.powerSources->copyPowerSources();
    const PlistDictionary* battery = nullptr;
    if (sources) {
        for (const auto& source : *sources) {
            if (source) {
                battery = &*source;
                break;
            }
        }
    }
    const auto charge = numberIn(battery, "Current Capacity");
    if (!charge) return {text("status.battery.unknown")};
    std::vector<std::string> lines{text("status.battery", {std::to_string(*charge)})};
    const PlistValue* state = battery->find("Power Source State");
    if (state && state->asString() && *state->asString() == kOnAdapter) {
        lines.push_back(text("status.adapter.connected"));
    } else if (state && state->asString() && *state->asString() == kOnBattery) {
        lines.push_back(text("status.adapter.disconnected"));
    }
    return lines;
}

std::string WattctlApp::limitText() const {
    const auto rootFolder = root();
    const auto consoleUser = user();
    if (!rootFolder || !consoleUser) return text("status.chargeLimit.unknown");
    linux_backend::PosixFileSystem files(*rootFolder);
    const auto bytes = files.readFile(limitFilePath(*consoleUser), kMaxLimitFileBytes);
    const auto value = bytes ? linux_backend::plistFromBytes(*bytes) : std::nullopt;
    const PlistDictionary* limits = value ? value->asDictionary() : nullptr;
    const auto limit = numberIn(limits, kLimitKey);
    if (!limit) return text("status.chargeLimit.unset");
    return text("status.chargeLimit", {std::to_string(*limit)});
}

}  // namespace wattkeeper::wattctl
