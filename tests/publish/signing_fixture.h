#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/signature_file.h"

namespace zavex::test {

// Whether signature is valid over the SHA-256 of bytes for the P-256 public
// point X || Y: through OpenSSL natively and the updater's CNG check on
// Windows, so each build checks with its own implementation.
bool SignatureVerifies(const std::array<std::uint8_t, 64>& publicPoint, std::string_view bytes,
                       const ManifestSignature& signature);

// A file of the source tree's tests folder, e.g. "support/keys/first.pem".
std::string ReadTestData(const std::string& relativePath);

}  // namespace zavex::test
