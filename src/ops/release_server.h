#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/product.h"

namespace zavex {

// BCRYPT_ECCKEY_BLOB of a P-256 public key: "ECS1", 32, then X and Y.
inline constexpr std::size_t kReleaseKeyBlobBytes = 72;
using ReleaseKeyBlob = std::array<std::uint8_t, kReleaseKeyBlobBytes>;

// Where the releases come from and who must have signed their manifest. The
// entry fills it from what the build compiled in; tests aim it anywhere.
struct ReleaseServer {
  std::wstring baseUrl;              // ends in "/"
  std::vector<ReleaseKeyBlob> keys;  // none: no signature is asked for
  std::string channel;               // the channel whose folder baseUrl names; empty: the default

  std::wstring ManifestUrl() const { return baseUrl + kManifestFileName; }
};

}  // namespace zavex
