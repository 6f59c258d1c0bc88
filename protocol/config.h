#pragma once
// Identifiers of this installation that the daemon, the login item and the main application
// must agree on.

#include <string_view>

namespace wattkeeper::protocol {

// The daemon's launchd label, and the name of its job file.
inline constexpr std::string_view HelperLabel = "org.wattkeeper.helper";
// The main application's bundle identifier; the container paths are formed from it.
inline constexpr std::string_view MainAppBundleId = "org.wattkeeper.app";
// The app-group defaults suite shared by the main application and the login item.
inline constexpr std::string_view AppGroupSuite = "group.org.wattkeeper.shared";

}  // namespace wattkeeper::protocol
