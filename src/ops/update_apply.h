#pragma once

#include <string>

#include "ops/operation_callbacks.h"
#include "ops/update_check.h"

namespace zavex {

// Applies the update that the last positive check stored in state (checking
// first when none did): closes the application, swaps in each changed file
// keeping the previous one as ".old", deletes removed files, cleans up and
// records the new manifest. False with error set when it stopped.
bool DoUpdate(UpdaterState& state, const ProgressCallback& onProgress, std::wstring& error);

// Deletes every file under folder, at any depth, whose name is longer than
// four characters and ends in ".old" or ".tmp" (letter case counts).
void CleanupLeftovers(const std::wstring& folder);

}  // namespace zavex
