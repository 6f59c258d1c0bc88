#include "platform/linux/confined_processes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <utility>

namespace wattkeeper::linux_backend {

namespace {

constexpr std::array<std::string_view, 2> kSandboxPrograms = {"/usr/bin/bwrap", "/bin/bwrap"};
constexpr std::array<std::string_view, 4> kSystemFolders = {"bin", "sbin", "lib", "lib64"};
constexpr std::string_view kBusAddressVariable = "WATTKEEPER_BUS_ADDRESS";
constexpr std::string_view kSystemBusSocket = "/run/dbus/system_bus_socket";

// The socket files of a D-Bus address ("unix:path=/tmp/x/bus,guid=...;..."), values unescaped.
std::vector<std::string> busSocketPaths(std::string_view address) {
    std::vector<std::string> paths;
    while (!address.empty()) {
        const std::string_view entry = address.substr(0, address.find(';'));
        address.remove_prefix(std::min(address.size(), entry.size() + 1));
        if (!entry.starts_with("unix:")) continue;
        std::string_view keys = entry.substr(5);
        while (!keys.empty()) {
            const std::string_view pair = keys.substr(0, keys.find(','));
            keys.remove_prefix(std::min(keys.size(), pair.size() + 1));
            if (!pair.starts_with("path=")) continue;
            std::string path;
            for (std::size_t i = 5; i < pair.size(); ++i) {
                if (pair[i] == '%' && i + 2 < pair.size() && std::isxdigit(static_cast<unsigned char>(pair[i + 1])) &&
                    std::isxdigit(static_cast<unsigned char>(pair[i + 2]))) {
                    path += static_cast<char>(std::stoi(std::string(pair.substr(i + 1, 2)), nullptr, 16));
                    i += 2;
                } else {
                    path += pair[i];
                }
            }
            paths.push_back(std::move(path));
        }
    }
    return paths;
}

bool isSocket(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::string> linkTarget(const std::string& path) {
    std::string buffer(4096, '\0');
    const ssize_t got = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (got < 0 || static_cast<std::size_t>(got) >= buffer.size()) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
}

std::optional<std::string> sandboxProgram() {
    for (std::string_view candidate : kSandboxPrograms) {
        const std::string path(candidate);
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return std::nullopt;
}

// Arguments that give the sandbox the host's /<name> as the host has it. False when the root
// holds something there that can be neither kept nor covered.
bool addSystemFolder(std::vector<std::string>& args, const std::string& root, std::string_view name) {
    const std::string host = "/" + std::string(name);
    const std::string inRoot = root + host;
    struct stat hostInfo {};
    if (::lstat(host.c_str(), &hostInfo) != 0) return true;
    struct stat rootInfo {};
    const bool rootHas = ::lstat(inRoot.c_str(), &rootInfo) == 0;

    if (S_ISLNK(hostInfo.st_mode)) {
        const auto target = linkTarget(host);
        if (!target) return false;
        if (!rootHas) {
            args.insert(args.end(), {"--symlink", *target, host});
            return true;
        }
        // bubblewrap refuses to make a link that a run before it left in place.
        if (S_ISLNK(rootInfo.st_mode)) return linkTarget(inRoot) == target;
    } else if (!S_ISDIR(hostInfo.st_mode)) {
        return true;
    }
    // A real folder in the root is covered; a link or file there would carry the mount elsewhere.
    if (rootHas && !S_ISDIR(rootInfo.st_mode)) return false;
    args.insert(args.end(), {"--ro-bind", host, host});
    return true;
}

}  // namespace

ConfinedProcesses::ConfinedProcesses(std::string root, std::string toolsBin,
                                     std::map<std::string, std::string> programMap)
    : root_(withoutTrailingSlashes(std::move(root))), toolsBin_(withoutTrailingSlashes(std::move(toolsBin))) {
    programs_.emplace(std::string(kOpenProgram), toolsBin_ + "/open");
    for (auto& entry : programMap) programs_.insert_or_assign(entry.first, std::move(entry.second));
}

std::optional<std::vector<std::string>> ConfinedProcesses::sandboxCommand() const {
    const auto program = sandboxProgram();
    if (!program || root_.empty() || root_ == "/" || !isFolder(root_) || !isFolder(toolsBin_)) return std::nullopt;

    // A process namespace of its own gives the sandbox a /proc of its own: with the host's, a link
    // in the root to /proc/<pid>/root would lead back into the host's files. Without capabilities
    // nothing inside can mount, trace or otherwise step out of what it was given.
    std::vector<std::string> args{*program,
                                  "--die-with-parent",
                                  "--unshare-pid",
                                  "--cap-drop",
                                  "ALL",
                                  "--clearenv",
                                  "--setenv",
                                  "PATH",
                                  std::string(kConfinedToolsFolder) + ":/usr/bin:/bin"};
    const char* busAddress = std::getenv(std::string(kBusAddressVariable).c_str());
    if (busAddress) args.insert(args.end(), {"--setenv", std::string(kBusAddressVariable), busAddress});
    args.insert(args.end(), {"--bind", root_, "/", "--ro-bind", "/usr", "/usr"});
    for (std::string_view folder : kSystemFolders) {
        if (!addSystemFolder(args, root_, folder)) return std::nullopt;
    }
    args.insert(args.end(), {"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp", "--ro-bind", toolsBin_,
                             std::string(kConfinedToolsFolder)});
    // launchctl talks to launchd over the bus: its socket, and only that, at the same path (a
    // connection to a unix socket works through a read-only bind). After the /tmp of its own, so
    // that a bus under /tmp shows through it.
    const std::string address =
        busAddress && *busAddress ? std::string(busAddress) : "unix:path=" + std::string(kSystemBusSocket);
    for (const std::string& socket : busSocketPaths(address)) {
        if (socket.starts_with('/') && isSocket(socket)) args.insert(args.end(), {"--ro-bind", socket, socket});
    }
    args.insert(args.end(), {"--chdir", "/"});
    return args;
}

std::optional<ShellResult> ConfinedProcesses::runShell(std::string_view commandLine) {
    auto sandbox = sandboxCommand();
    if (!sandbox) return std::nullopt;
    return PosixProcesses("/bin/bash", std::move(*sandbox)).runShell(commandLine);
}

std::string ConfinedProcesses::hostProgram(std::string_view program) const {
    const auto found = programs_.find(program);
    return found == programs_.end() ? std::string(program) : found->second;
}

bool ConfinedProcesses::spawnDetached(std::string_view program, const std::vector<std::string>& arguments) {
    return host_.spawnDetached(hostProgram(program), arguments);
}

void ConfinedProcesses::exit(int status) { host_.exit(status); }

}  // namespace wattkeeper::linux_backend
