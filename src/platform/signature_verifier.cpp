#include "platform/signature_verifier.h"

#include <windows.h>
#include <bcrypt.h>

#include "platform/sha256_hasher.h"
#include "platform/unique_handle.h"

namespace zavex {

bool VerifyEcdsaP256(const std::uint8_t* keyBlob, std::size_t blobBytes, std::string_view message,
                     const std::array<std::uint8_t, 64>& signature) {
  Sha256Digest digest;
  if (!HashBytes(message, digest)) return false;
  UniqueAlgorithm algorithm;
  if (BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
    return false;
  }
  UniqueCryptKey key;
  if (BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(),
                          const_cast<PUCHAR>(keyBlob), static_cast<ULONG>(blobBytes), 0) < 0) {
    return false;
  }
  // Only STATUS_SUCCESS means a valid signature.
  return BCryptVerifySignature(key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                               const_cast<PUCHAR>(signature.data()),
                               static_cast<ULONG>(signature.size()), 0) == 0;
}

}  // namespace zavex
