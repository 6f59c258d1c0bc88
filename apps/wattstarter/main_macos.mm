// Wattstarter's composition root on macOS: the login item over AppKit, Foundation,
// CoreFoundation and libdispatch. The Linux build takes main.cpp instead.
//
// Nothing here is Objective-C; the file is Objective-C++ so that the Linux build, which takes
// every .cpp file of this folder, never sees it.

#include "loginitem/app_delegate.h"
#include "platform/macos/mac_application.h"
#include "platform/macos/mac_bundles.h"
#include "platform/macos/mac_defaults.h"
#include "platform/macos/mac_local_center.h"
#include "platform/macos/mac_log.h"
#include "platform/macos/mac_notification_center.h"
#include "platform/macos/mac_run_loop.h"
#include "platform/macos/mac_workspace.h"
#include "platform/ports.h"

int main(int argc, char** argv) {
    using namespace wattkeeper;
    using namespace wattkeeper::macos_backend;

    MacRunLoop loop;
    MacLog log;
    MacNotificationCenter darwin(MacNotificationCenter::Kind::Darwin);
    MacNotificationCenter distributed(MacNotificationCenter::Kind::Distributed);
    MacLocalCenter local;
    MacWorkspace workspace;
    MacDefaults defaults;
    MacBundles bundles;
    MacApplication application;

    Ports& ports = processPorts();
    ports = Ports{
        .runLoop = &loop,
        .log = &log,
        .darwinCenter = &darwin,
        .distributedCenter = &distributed,
        .localCenter = &local,
        .workspace = &workspace,
        .bundles = &bundles,
        .defaults = &defaults,
        .application = &application,
    };
    return loginitem::wattstarterMain(argc, argv, ports);
}
