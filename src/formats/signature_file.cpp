#include "formats/signature_file.h"

#include <algorithm>

#include "formats/base64.h"

namespace zavex {
namespace {

std::string_view WithoutLineEnd(std::string_view text) {
  for (const std::string_view end : {"\r\n", "\n"}) {
    if (text.size() >= end.size() && text.substr(text.size() - end.size()) == end) {
      return text.substr(0, text.size() - end.size());
    }
  }
  return text;
}

}  // namespace

bool ReadSignatureFile(std::string_view text, ManifestSignature& signature) {
  std::string bytes;
  if (!DecodeBase64(WithoutLineEnd(text), bytes) || bytes.size() != signature.size()) {
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), signature.begin());
  return true;
}

std::string WriteSignatureFile(const ManifestSignature& signature) {
  const std::string_view bytes(reinterpret_cast<const char*>(signature.data()), signature.size());
  return EncodeBase64(bytes) + "\n";
}

}  // namespace zavex
