#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#include "publish/key_files.h"
#include "publish/signing_fixture.h"

namespace zavex::test {

bool SignatureVerifies(const std::array<std::uint8_t, 64>& publicPoint, std::string_view bytes,
                       const ManifestSignature& signature) {
  SigningKey key;
  key.publicPoint = publicPoint;
  const std::string pem = WritePublicKeyPem(key);
  std::unique_ptr<BIO, decltype(&BIO_free)> input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                  BIO_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
      PEM_read_bio_PUBKEY(input.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> parts(ECDSA_SIG_new(), ECDSA_SIG_free);
  if (!publicKey || !parts) return false;
  ECDSA_SIG_set0(parts.get(), BN_bin2bn(signature.data(), 32, nullptr),
                 BN_bin2bn(signature.data() + 32, 32, nullptr));
  unsigned char* der = nullptr;
  const int derBytes = i2d_ECDSA_SIG(parts.get(), &der);
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> ownedDer(
      der, [](unsigned char* memory) { OPENSSL_free(memory); });
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  return derBytes > 0 && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, publicKey.get()) == 1 &&
         EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(derBytes),
                          reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == 1;
}

}  // namespace zavex::test
