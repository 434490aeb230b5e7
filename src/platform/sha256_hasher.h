#pragma once

#include <string>
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

}  // namespace zavex
