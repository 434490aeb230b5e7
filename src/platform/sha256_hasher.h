#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_handle.h"

namespace zavex {

// SHA-256 of files through one CNG provider. One call at a time: every call
// reuses the same hash object memory.
class Sha256Hasher {
 public:
  Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  // The digest as 64 lowercase hexadecimal digits; empty on any failure.
  std::string HashFile(const std::wstring& path);

 private:
  UniqueAlgorithm algorithm;
  std::vector<UCHAR> hashObject;
  ULONG digestLength = 32;
};

using Sha256Digest = std::array<std::uint8_t, 32>;

// The SHA-256 of bytes held in memory, through CNG.
bool HashBytes(std::string_view bytes, Sha256Digest& digest);

}  // namespace zavex
