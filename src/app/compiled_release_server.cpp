#include "app/compiled_release_server.h"

#include "app/release_keys.h"
#include "app/server_config.h"

namespace zavex {

// Alone in its unit, so that an updater built for other keys links its own
// copy of this unit, made with its own app/release_keys.h, in place of it.
ReleaseServer CompiledReleaseServer() {
  return ReleaseServer{ServerBaseUrl, std::vector<ReleaseKeyBlob>(kReleasePublicKeyBlobs.begin(),
                                                                  kReleasePublicKeyBlobs.end())};
}

}  // namespace zavex
