#include "formats/format_size.h"

#include <cwchar>

namespace zavex {
namespace {

constexpr const wchar_t* kUnits[] = {L"B", L"KB", L"MB", L"GB"};
constexpr std::size_t kLastUnit = 3;
constexpr std::size_t kSizeTextChars = 64;

}  // namespace

std::wstring FormatSize(std::uint64_t bytes) {
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  // The unit is chosen before rounding, so 1048575 bytes read "1024.0 KB".
  while (value >= 1024.0 && unit < kLastUnit) {
    value *= 1.0 / 1024.0;
    ++unit;
  }
  wchar_t text[kSizeTextChars] = {};
  std::swprintf(text, kSizeTextChars, unit == 0 ? L"%.0f %ls" : L"%.1f %ls", value,
                kUnits[unit]);
  return text;
}

}  // namespace zavex
