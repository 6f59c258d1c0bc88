#pragma once
// The host's <spawn.h> with Darwin's extensions of it (POSIX_SPAWN_CLOEXEC_DEFAULT,
// posix_spawn_file_actions_addinherit_np): see apple_sdk.h.
#include_next <spawn.h>
#include "apple_sdk.h"
