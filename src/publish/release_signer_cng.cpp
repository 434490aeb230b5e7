#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <vector>

#include "platform/sha256_hasher.h"
#include "platform/signature_verifier.h"
#include "platform/unique_handle.h"
#include "publish/release_signer.h"

namespace zavex {
namespace {

// BCRYPT_ECCPRIVATE_BLOB: the header, X, Y, then d.
constexpr ULONG kCoordinateBytes = 32;
constexpr ULONG kPrivateBlobBytes = sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kCoordinateBytes;
constexpr ULONG kPublicBlobBytes = sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinateBytes;

UniqueAlgorithm OpenEcdsaP256() {
  UniqueAlgorithm algorithm;
  if (BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
    return UniqueAlgorithm();
  }
  return algorithm;
}

// The header and X, Y; with includePrivate also d.
std::vector<UCHAR> KeyBlob(const SigningKey& key, bool includePrivate) {
  std::vector<UCHAR> blob(includePrivate ? kPrivateBlobBytes : kPublicBlobBytes);
  auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
  header->dwMagic =
      includePrivate ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header->cbKey = kCoordinateBytes;
  UCHAR* point = blob.data() + sizeof(BCRYPT_ECCKEY_BLOB);
  std::copy(key.publicPoint.begin(), key.publicPoint.end(), point);
  if (includePrivate) {
    std::copy(key.privateScalar.begin(), key.privateScalar.end(), point + 2 * kCoordinateBytes);
  }
  return blob;
}

bool SignDigest(const SigningKey& key, const Sha256Digest& digest, ManifestSignature& signature) {
  const UniqueAlgorithm algorithm = OpenEcdsaP256();
  std::vector<UCHAR> blob = KeyBlob(key, true);
  UniqueCryptKey pair;
  if (!algorithm || BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB,
                                        pair.put(), blob.data(), kPrivateBlobBytes, 0) < 0) {
    return false;
  }
  ULONG written = 0;
  return BCryptSignHash(pair.get(), nullptr, const_cast<UCHAR*>(digest.data()),
                        static_cast<ULONG>(digest.size()), signature.data(),
                        static_cast<ULONG>(signature.size()), &written, 0) >= 0 &&
         written == signature.size();
}

}  // namespace

bool GenerateSigningKey(SigningKey& key) {
  const UniqueAlgorithm algorithm = OpenEcdsaP256();
  UniqueCryptKey pair;
  if (!algorithm || BCryptGenerateKeyPair(algorithm.get(), pair.put(), 256, 0) < 0) return false;
  std::vector<UCHAR> blob(kPrivateBlobBytes);
  ULONG written = 0;
  if (BCryptFinalizeKeyPair(pair.get(), 0) < 0 ||
      BCryptExportKey(pair.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(), kPrivateBlobBytes,
                      &written, 0) < 0 ||
      written != kPrivateBlobBytes) {
    return false;
  }
  const UCHAR* point = blob.data() + sizeof(BCRYPT_ECCKEY_BLOB);
  std::copy(point, point + 2 * kCoordinateBytes, key.publicPoint.begin());
  std::copy(point + 2 * kCoordinateBytes, point + 3 * kCoordinateBytes, key.privateScalar.begin());
  return true;
}

bool SignManifest(const SigningKey& key, std::string_view bytes, ManifestSignature& signature) {
  Sha256Digest digest;
  if (!HashBytes(bytes, digest) || !SignDigest(key, digest, signature)) return false;
  // CNG may take a private scalar that does not belong to the point; a
  // signature that the point does not verify means such a key file.
  const std::vector<UCHAR> publicBlob = KeyBlob(key, false);
  return VerifyEcdsaP256(publicBlob.data(), publicBlob.size(), bytes, signature);
}

}  // namespace zavex
