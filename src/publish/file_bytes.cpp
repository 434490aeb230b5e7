#include "publish/file_bytes.h"

#include <fstream>
#include <sstream>

namespace zavex {

bool ReadWholeFile(const std::filesystem::path& file, std::string& bytes) {
  std::ifstream input(file, std::ios::binary);
  if (!input) return false;
  std::ostringstream content;
  content << input.rdbuf();
  bytes = content.str();
  return true;
}

bool WriteWholeFile(const std::filesystem::path& file, const void* bytes, std::size_t size) {
  std::ofstream output(file, std::ios::binary);
  output.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  output.close();
  return static_cast<bool>(output);
}

}  // namespace zavex
