#include "publish/key_files.h"

#include <algorithm>

#include "formats/base64.h"

namespace zavex {
namespace {

constexpr std::size_t kPemLineLength = 64;

// DER of PKCS#8 around ECPrivateKey: version 0, id-ecPublicKey with
// prime256v1, then an octet string holding version 1, d, and [1] the point.
constexpr unsigned char kPrivatePrefix[] = {
    0x30, 0x81, 0x87, 0x02, 0x01, 0x00, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02,
    0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x04, 0x6d, 0x30, 0x6b, 0x02,
    0x01, 0x01, 0x04, 0x20};
constexpr unsigned char kPrivateMiddle[] = {0xa1, 0x44, 0x03, 0x42, 0x00, 0x04};

// DER of SubjectPublicKeyInfo: id-ecPublicKey with prime256v1, then the
// bit string of the uncompressed point.
constexpr unsigned char kPublicPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                           0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                           0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

constexpr std::size_t kPrivateDerBytes = sizeof(kPrivatePrefix) + 32 + sizeof(kPrivateMiddle) + 64;

template <std::size_t N>
std::string_view Bytes(const unsigned char (&bytes)[N]) {
  return std::string_view(reinterpret_cast<const char*>(bytes), N);
}

template <std::size_t N>
std::string_view Bytes(const std::array<std::uint8_t, N>& bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), N);
}

std::string Pem(const std::string& label, std::string_view der) {
  const std::string base64 = EncodeBase64(der);
  std::string text = "-----BEGIN " + label + "-----\n";
  for (std::size_t start = 0; start < base64.size(); start += kPemLineLength) {
    text += base64.substr(start, kPemLineLength) + "\n";
  }
  return text + "-----END " + label + "-----\n";
}

// The DER of the only PEM block in text, which must carry label.
bool PemDer(std::string_view text, const std::string& label, std::string& der) {
  const std::string begin = "-----BEGIN " + label + "-----";
  const std::string end = "-----END " + label + "-----";
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  if (first == std::string_view::npos) return false;
  text = text.substr(first, last + 1 - first);
  if (text.substr(0, begin.size()) != begin || text.size() < begin.size() + end.size() ||
      text.substr(text.size() - end.size()) != end) {
    return false;
  }
  std::string base64(text.substr(begin.size(), text.size() - begin.size() - end.size()));
  base64.erase(std::remove_if(base64.begin(), base64.end(),
                              [](char c) { return c == '\r' || c == '\n'; }),
               base64.end());
  return DecodeBase64(base64, der);
}

template <std::size_t N>
void CopyOut(std::string_view from, std::array<std::uint8_t, N>& to) {
  std::copy(from.begin(), from.begin() + N, to.begin());
}

}  // namespace

bool ReadPrivateKeyPem(std::string_view text, SigningKey& key) {
  std::string der;
  if (!PemDer(text, "PRIVATE KEY", der) || der.size() != kPrivateDerBytes) return false;
  const std::string_view view(der);
  const std::size_t middle = sizeof(kPrivatePrefix) + 32;
  if (view.substr(0, sizeof(kPrivatePrefix)) != Bytes(kPrivatePrefix) ||
      view.substr(middle, sizeof(kPrivateMiddle)) != Bytes(kPrivateMiddle)) {
    return false;
  }
  CopyOut(view.substr(sizeof(kPrivatePrefix)), key.privateScalar);
  CopyOut(view.substr(middle + sizeof(kPrivateMiddle)), key.publicPoint);
  return true;
}

std::string PrivateKeyDer(const SigningKey& key) {
  std::string der(Bytes(kPrivatePrefix));
  der += Bytes(key.privateScalar);
  der += Bytes(kPrivateMiddle);
  der += Bytes(key.publicPoint);
  return der;
}

std::string WritePrivateKeyPem(const SigningKey& key) {
  return Pem("PRIVATE KEY", PrivateKeyDer(key));
}

std::string WritePublicKeyPem(const SigningKey& key) {
  std::string der(Bytes(kPublicPrefix));
  der += Bytes(key.publicPoint);
  return Pem("PUBLIC KEY", der);
}

}  // namespace zavex
