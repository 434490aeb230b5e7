#pragma once

#include <atomic>

#include "app/invocation.h"

namespace zavex {

// The "--check" mode: 0 when an update is available, 1 on failure, 2 when
// none; within kSilentCheckDeadlineMs.
int RunSilentCheck(const Invocation& invocation);

// The "--silent" mode without a window: 0 applied, 1 failed, 2 no update.
int RunSilentUpdate(const Invocation& invocation);

// What the service's run returns when the application ran: the verified
// files stay staged for a later start.
inline constexpr int kStagedExitCode = 3;

// The silent update as the service runs it: the running application is never
// closed, nor started; kStagedExitCode when the files stay staged. A start
// whose check finds no update, or fails, discards what an earlier one staged.
// Once stopRequested is set, the run is cancelled at its next safe point: a
// placing under way ends, or is undone, as it would without the stop; a check
// cut short discards nothing.
int RunServiceUpdate(const Invocation& invocation, const std::atomic<bool>& stopRequested);

}  // namespace zavex
