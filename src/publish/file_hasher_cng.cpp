#include "platform/sha256_hasher.h"
#include "publish/file_hasher.h"

namespace zavex {
namespace {

class CngFileHasher : public FileHasher {
 public:
  std::string HashFile(const std::filesystem::path& file) override {
    return hasher.HashFile(file.wstring());
  }

 private:
  Sha256Hasher hasher;
};

}  // namespace

std::unique_ptr<FileHasher> CreateSha256FileHasher() { return std::make_unique<CngFileHasher>(); }

}  // namespace zavex
