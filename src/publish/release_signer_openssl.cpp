#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "publish/release_signer.h"

namespace zavex {
namespace {

struct OpenSslFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
  void operator()(BIGNUM* number) const { BN_free(number); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

// The key of PrivateKeyDer, only when d and the point belong together.
Owned<EVP_PKEY> LoadKey(const SigningKey& key) {
  const std::string der = PrivateKeyDer(key);
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  Owned<EVP_PKEY> loaded(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(der.size())));
  if (!loaded) return nullptr;
  Owned<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new(loaded.get(), nullptr));
  if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) return nullptr;
  return loaded;
}

// The DER ECDSA-Sig-Value of OpenSSL as r || s.
bool RawSignature(const std::string& der, ManifestSignature& signature) {
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  Owned<ECDSA_SIG> parsed(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
  if (!parsed) return false;
  return BN_bn2binpad(ECDSA_SIG_get0_r(parsed.get()), signature.data(), 32) == 32 &&
         BN_bn2binpad(ECDSA_SIG_get0_s(parsed.get()), signature.data() + 32, 32) == 32;
}

}  // namespace

bool GenerateSigningKey(SigningKey& key) {
  Owned<EVP_PKEY> generated(EVP_EC_gen("P-256"));
  if (!generated) return false;
  BIGNUM* scalar = nullptr;
  if (EVP_PKEY_get_bn_param(generated.get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar) != 1) return false;
  Owned<BIGNUM> ownedScalar(scalar);
  unsigned char point[65] = {};
  std::size_t pointBytes = 0;
  if (EVP_PKEY_get_octet_string_param(generated.get(), OSSL_PKEY_PARAM_PUB_KEY, point,
                                      sizeof(point), &pointBytes) != 1 ||
      pointBytes != sizeof(point) || point[0] != POINT_CONVERSION_UNCOMPRESSED ||
      BN_bn2binpad(scalar, key.privateScalar.data(), 32) != 32) {
    return false;
  }
  std::copy(point + 1, point + sizeof(point), key.publicPoint.begin());
  return true;
}

bool SignManifest(const SigningKey& key, std::string_view bytes, ManifestSignature& signature) {
  const Owned<EVP_PKEY> loaded = LoadKey(key);
  Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
  if (!loaded || !context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, loaded.get()) != 1) {
    return false;
  }
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t length = 0;
  if (EVP_DigestSign(context.get(), nullptr, &length, data, bytes.size()) != 1) return false;
  std::string der(length, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &length, data,
                     bytes.size()) != 1) {
    return false;
  }
  der.resize(length);
  return RawSignature(der, signature);
}

}  // namespace zavex
