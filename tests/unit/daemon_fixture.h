#pragma once
// The daemon world as a test fixture.

#include <gtest/gtest.h>

#include "tests/kit/daemon_world.h"

namespace wattkeeper::testkit {

class DaemonTest : public ::testing::Test, public DaemonWorld {};

}  // namespace wattkeeper::testkit
