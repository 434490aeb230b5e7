// libFuzzer target: the base64 and signature-file readers accept exactly the
// texts that the writers produce (and, for the file, the line-end variants).
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/base64.h"
#include "formats/signature_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string bytes;
  if (zavex::DecodeBase64(input, bytes) && zavex::EncodeBase64(bytes) != input) __builtin_trap();

  zavex::ManifestSignature signature;
  if (!zavex::ReadSignatureFile(input, signature)) return 0;
  const std::string written = zavex::WriteSignatureFile(signature);
  const std::string line = written.substr(0, written.size() - 1);
  if (input != line && input != written && input != line + "\r\n") __builtin_trap();
  return 0;
}
