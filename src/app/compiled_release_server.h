#pragma once

#include "ops/release_server.h"

namespace zavex {

// The server address and release keys that the build compiled in.
ReleaseServer CompiledReleaseServer();

}  // namespace zavex
