#include "publish/executable_machine.h"

#include <cstdio>
#include <fstream>

namespace zavex {
namespace {

// Where the DOS header keeps the offset of the PE signature.
constexpr std::streamoff kPeOffsetField = 0x3C;

std::string MachineName(std::uint16_t machine) {
  char hex[8] = {};
  std::snprintf(hex, sizeof(hex), "0x%x", machine);
  switch (machine) {
    case kMachineI386: return std::string("x86 (i386, ") + hex + ")";
    case kMachineAmd64: return std::string("x86-64 (AMD64, ") + hex + ")";
    case 0xAA64: return std::string("ARM64 (") + hex + ")";
    case 0x01C4: return std::string("ARM (ARMNT, ") + hex + ")";
    case 0x0200: return std::string("Itanium (IA64, ") + hex + ")";
    default: return std::string("the machine ") + hex;
  }
}

// Little-endian bytes at offset; false when the file ends before them.
bool ReadAt(std::ifstream& input, std::streamoff offset, unsigned char* bytes, std::size_t count) {
  input.seekg(offset);
  input.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(count));
  return input.gcount() == static_cast<std::streamsize>(count);
}

}  // namespace

std::string ExecutableMachineRefusal(const std::filesystem::path& file, std::uint16_t machine) {
  std::ifstream input(file, std::ios::binary);
  unsigned char dos[2] = {};
  if (!input || !ReadAt(input, 0, dos, 2) || dos[0] != 'M' || dos[1] != 'Z') {
    return "is not a Windows executable: it does not start with \"MZ\"";
  }
  unsigned char offset[4] = {};
  unsigned char header[6] = {};
  if (!ReadAt(input, kPeOffsetField, offset, 4) ||
      !ReadAt(input, offset[0] | offset[1] << 8 | offset[2] << 16 | std::streamoff{offset[3]} << 24,
              header, 6) ||
      header[0] != 'P' || header[1] != 'E' || header[2] != 0 || header[3] != 0) {
    return "is not a Windows executable: it has no PE header where its DOS header points";
  }
  const std::uint16_t found = static_cast<std::uint16_t>(header[4] | header[5] << 8);
  if (found == machine) return "";
  return "is a Windows executable for " + MachineName(found) + "; it must be one for " +
         MachineName(machine);
}

}  // namespace zavex
