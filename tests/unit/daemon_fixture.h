#pragma once
// The daemon world as a test fixture.

#include <gtest/gtest.h>

#include "tests/kit/daemon_world.h"

namespace wattkeeper::testkit {

using testkit::kContainer;
using testkit::kDaemonBundle;
using testkit::kLimitFile;
using testkit::kPreferencesFile;

class DaemonTest : public ::testing::Test, public testkit::DaemonWorld {};

}  // namespace wattkeeper::testkit
