#pragma once

#include "app/invocation.h"

namespace zavex {

// The "--service" mode, as the service manager starts it: the start
// arguments are ignored (and logged), then RunServiceUpdate runs on the
// installation that holds this executable. It refuses, logging why, when the
// build has no release keys, when kUpdateServiceName is not registered for
// this executable, or when its folder holds no installation or others than
// administrators can change it. 1 when it refused, or the service manager
// did not start it; otherwise RunServiceUpdate's result, which is also the
// service-specific exit code. A stop from the service manager cancels the
// update at its next safe point (see RunServiceUpdate).
int RunServiceMode(const Invocation& invocation);

}  // namespace zavex
