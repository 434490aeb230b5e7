#include "formats/windows_file_name.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace zavex {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct CaseMapping {
  char16_t letter;
  char16_t capital;
};

// The simple uppercase mappings of the Basic Multilingual Plane, generated
// from the Unicode Character Database at build time.
constexpr CaseMapping kUppercase[] = {
#include "windows_upcase_table.inc"
};

// The simple uppercase that Windows' file systems compare names by. Names are
// compared one UTF-16 unit at a time, so a code point outside the Basic
// Multilingual Plane compares as it is.
char32_t SimpleUppercase(char32_t letter) {
  if (letter < 0x80) return letter >= 'a' && letter <= 'z' ? letter - 0x20 : letter;
  if (letter > 0xFFFF) return letter;
  const auto* const end = std::end(kUppercase);
  const auto* const found = std::lower_bound(
      std::begin(kUppercase), end, letter,
      [](const CaseMapping& mapping, char32_t wanted) { return mapping.letter < wanted; });
  return found != end && found->letter == letter ? found->capital : letter;
}

// A path's code points folded for comparison. UTF-8 is decoded as Windows
// converts it: an ill-formed sequence gives one U+FFFD for its longest prefix
// that could still begin a well-formed one (at least one byte).
class FoldedName {
 public:
  explicit FoldedName(std::string_view text) : text(text) {}

  bool AtEnd() const { return position == text.size(); }

  char32_t Next() {
    const char32_t letter = Decode();
    return letter == '/' ? '\\' : SimpleUppercase(letter);
  }

 private:
  char32_t Decode() {
    const auto lead = static_cast<unsigned char>(text[position++]);
    if (lead < 0x80) return lead;
    int length = 0;
    char32_t value = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      value = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      value = lead & 0x07;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      return kReplacement;
    }
    for (int index = 1; index < length; ++index) {
      if (AtEnd()) return kReplacement;
      const auto next = static_cast<unsigned char>(text[position]);
      if (next < low || next > high) return kReplacement;
      value = value << 6 | (next & 0x3F);
      ++position;
      low = 0x80;
      high = 0xBF;
    }
    return value;
  }

  std::string_view text;
  std::size_t position = 0;
};

}  // namespace

bool NameSameFile(std::string_view left, std::string_view right) {
  if (left == right) return true;
  FoldedName a(left);
  FoldedName b(right);
  while (!a.AtEnd() && !b.AtEnd()) {
    if (a.Next() != b.Next()) return false;
  }
  return a.AtEnd() && b.AtEnd();
}

std::size_t FileNameHash(std::string_view path) {
  // 64-bit FNV-1a over the folded code points.
  std::uint64_t hash = 14695981039346656037ull;
  for (FoldedName name(path); !name.AtEnd();) {
    hash = (hash ^ name.Next()) * 1099511628211ull;
  }
  return static_cast<std::size_t>(hash);
}

}  // namespace zavex
