#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zavex {

// Whether signature (r || s) is an ECDSA P-256 signature over the SHA-256 of
// message by the public key in keyBlob, a BCRYPT_ECCPUBLIC_BLOB.
bool VerifyEcdsaP256(const std::uint8_t* keyBlob, std::size_t blobBytes, std::string_view message,
                     const std::array<std::uint8_t, 64>& signature);

}  // namespace zavex
