#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zavex {

// An ECDSA P-256 key pair: the private scalar d and the public point X || Y,
// each coordinate 32 bytes big-endian.
struct SigningKey {
  std::array<std::uint8_t, 32> privateScalar{};
  std::array<std::uint8_t, 64> publicPoint{};
};

inline constexpr char kPrivateKeyFileName[] = "release-signing-key.pem";
inline constexpr char kPublicKeyFileName[] = "release-signing-key.pub.pem";

// PEM PKCS#8 ("BEGIN PRIVATE KEY"), unencrypted, in the layout that openssl
// writes for P-256: with the public point, without repeated curve
// parameters. False for any other text.
bool ReadPrivateKeyPem(std::string_view text, SigningKey& key);
std::string WritePrivateKeyPem(const SigningKey& key);
// The DER inside the PEM text above.
std::string PrivateKeyDer(const SigningKey& key);

// PEM SubjectPublicKeyInfo ("BEGIN PUBLIC KEY") of the uncompressed point.
std::string WritePublicKeyPem(const SigningKey& key);

}  // namespace zavex
