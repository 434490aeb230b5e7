#include "app/release_keys.h"
#include "ops/manifest_signature.h"

namespace zavex {

// Alone in its unit, so that an updater built for other keys links its own
// copy of this unit, made with its own app/release_keys.h, in place of it.
std::vector<ReleaseKeyBlob> CompiledReleaseKeys() {
  return std::vector<ReleaseKeyBlob>(kReleasePublicKeyBlobs.begin(), kReleasePublicKeyBlobs.end());
}

}  // namespace zavex
