#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace zavex {

// Hashes the files of a release for its manifest.
class FileHasher {
 public:
  virtual ~FileHasher() = default;
  // The SHA-256 of the file's content as 64 lowercase hexadecimal digits;
  // empty when the file cannot be read to its end.
  virtual std::string HashFile(const std::filesystem::path& file) = 0;
};

// CNG on Windows (the updater's own hasher), OpenSSL's libcrypto elsewhere.
std::unique_ptr<FileHasher> CreateSha256FileHasher();

}  // namespace zavex
