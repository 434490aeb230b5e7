#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_handle.h"

namespace zavex {

// SHA-256 through its own CNG provider and hash object: one digest at a
// time, so each thread that hashes needs its own hasher.
class Sha256Hasher {
 public:
  Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  // Starts a digest, dropping one that was not finished.
  void Begin();
  // Adds bytes to the digest begun last.
  void Add(std::string_view bytes);
  // The digest begun last as 64 lowercase hexadecimal digits; empty when any
  // step of it failed.
  std::string Finish();

  // Adds the file's bytes, added counting them; false when it could not be
  // read to its end.
  bool AddFile(const std::wstring& path, uint64_t& added);
  // The digest of the file's bytes; empty on any failure.
  std::string HashFile(const std::wstring& path);

 private:
  UniqueAlgorithm algorithm;
  std::vector<UCHAR> hashObject;
  ULONG digestLength = 32;
  UniqueHash hash;
  bool failed = true;
};

using Sha256Digest = std::array<std::uint8_t, 32>;

// The SHA-256 of bytes held in memory, through CNG.
bool HashBytes(std::string_view bytes, Sha256Digest& digest);

}  // namespace zavex
