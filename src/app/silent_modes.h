#pragma once

#include "app/invocation.h"

namespace zavex {

// The "--check" mode: 0 when an update is available, 1 on failure, 2 when
// none; within kSilentCheckDeadlineMs.
int RunSilentCheck(const Invocation& invocation);

// The "--silent" mode without a window: 0 applied, 1 failed, 2 no update.
int RunSilentUpdate(const Invocation& invocation);

}  // namespace zavex
