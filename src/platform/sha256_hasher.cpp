#include "platform/sha256_hasher.h"

#include <windows.h>
#include <bcrypt.h>

namespace zavex {
namespace {

constexpr DWORD kReadChunkBytes = 65536;

bool Succeeded(NTSTATUS status) { return status >= 0; }

ULONG QueryUlongProperty(BCRYPT_ALG_HANDLE algorithm, const wchar_t* property, ULONG preset) {
  ULONG value = preset;
  ULONG size = 0;
  BCryptGetProperty(algorithm, property, reinterpret_cast<PUCHAR>(&value), sizeof(value), &size,
                    0);
  return value;
}

std::string ToLowerHex(const std::vector<UCHAR>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (UCHAR byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

}  // namespace

bool HashBytes(std::string_view bytes, Sha256Digest& digest) {
  UniqueAlgorithm algorithm;
  if (!Succeeded(
          BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  UniqueHash hash;
  if (!Succeeded(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) {
    return false;
  }
  auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
  return Succeeded(BCryptHashData(hash.get(), data, static_cast<ULONG>(bytes.size()), 0)) &&
         Succeeded(BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
}

Sha256Hasher::Sha256Hasher() {
  if (!Succeeded(
          BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return;
  }
  hashObject.resize(QueryUlongProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, 0));
  digestLength = QueryUlongProperty(algorithm.get(), BCRYPT_HASH_LENGTH, digestLength);
}

void Sha256Hasher::Begin() {
  hash.reset();
  failed = !algorithm ||
           !Succeeded(BCryptCreateHash(algorithm.get(), hash.put(), hashObject.data(),
                                       static_cast<ULONG>(hashObject.size()), nullptr, 0, 0));
}

void Sha256Hasher::Add(std::string_view bytes) {
  if (failed) return;
  auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
  failed = !Succeeded(BCryptHashData(hash.get(), data, static_cast<ULONG>(bytes.size()), 0));
}

std::string Sha256Hasher::Finish() {
  std::vector<UCHAR> digest(digestLength);
  const bool finished =
      !failed && Succeeded(BCryptFinishHash(hash.get(), digest.data(), digestLength, 0));
  hash.reset();
  failed = true;
  return finished ? ToLowerHex(digest) : "";
}

bool Sha256Hasher::AddFile(const std::wstring& path, uint64_t& added) {
  added = 0;
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::string buffer(kReadChunkBytes, '\0');
  DWORD read = 0;
  for (;;) {
    if (!ReadFile(file.get(), buffer.data(), kReadChunkBytes, &read, nullptr)) return false;
    if (read == 0) return true;
    Add(std::string_view(buffer.data(), read));
    added += read;
  }
}

std::string Sha256Hasher::HashFile(const std::wstring& path) {
  Begin();
  uint64_t size = 0;
  return AddFile(path, size) ? Finish() : "";
}

}  // namespace zavex
