#include <openssl/evp.h>

#include <fstream>
#include <vector>

#include "publish/file_hasher.h"

namespace zavex {
namespace {

constexpr std::size_t kReadChunkBytes = 65536;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

std::string ToLowerHex(const unsigned char* bytes, unsigned int count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (unsigned int index = 0; index < count; ++index) {
    text.push_back(kDigits[bytes[index] >> 4]);
    text.push_back(kDigits[bytes[index] & 0x0f]);
  }
  return text;
}

class OpenSslFileHasher : public FileHasher {
 public:
  std::string HashFile(const std::filesystem::path& file) override {
    std::ifstream input(file, std::ios::binary);
    DigestContext context(EVP_MD_CTX_new());
    if (!input || !context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr)) return "";
    std::vector<char> buffer(kReadChunkBytes);
    while (input) {
      input.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      const auto count = static_cast<std::size_t>(input.gcount());
      if (!EVP_DigestUpdate(context.get(), buffer.data(), count)) return "";
    }
    if (!input.eof()) return "";  // a read error, not the end of the file
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_DigestFinal_ex(context.get(), digest, &length)) return "";
    return ToLowerHex(digest, length);
  }
};

}  // namespace

std::unique_ptr<FileHasher> CreateSha256FileHasher() {
  return std::make_unique<OpenSslFileHasher>();
}

}  // namespace zavex
