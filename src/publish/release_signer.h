#pragma once

#include <string_view>

#include "formats/signature_file.h"
#include "publish/key_files.h"

namespace zavex {

// CNG on Windows, OpenSSL's libcrypto elsewhere; both make the same format.

// A new random P-256 key pair.
bool GenerateSigningKey(SigningKey& key);

// The signature over the SHA-256 of bytes; false when key is not a valid
// P-256 key pair.
bool SignManifest(const SigningKey& key, std::string_view bytes, ManifestSignature& signature);

}  // namespace zavex
