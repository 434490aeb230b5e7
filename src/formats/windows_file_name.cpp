#include "formats/windows_file_name.h"

#include <cstdint>

namespace zavex {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The simple uppercase that Windows' file systems compare names by, for ASCII,
// Latin-1 Supplement and Latin Extended-A (U+0000 to U+017F); every other code
// point compares as it is. As on Windows, the dotless i and the long s keep
// their own spelling (their capitals are ASCII letters), and so does the micro
// sign, whose capital is Greek.
char32_t SimpleUppercase(char32_t letter) {
  if (letter >= 'a' && letter <= 'z') return letter - 0x20;
  if (letter < 0xE0) return letter;
  if (letter <= 0xFE) return letter == 0xF7 ? letter : letter - 0x20;  // U+00F7 is the sign ÷
  if (letter == 0xFF) return 0x178;
  // No capital: the dotless i (see above) and n preceded by apostrophe.
  if (letter > 0x17E || letter == 0x131 || letter == 0x149) return letter;
  // Latin Extended-A pairs each capital with the small letter after it; the
  // capitals sit on odd code points in U+0139..U+0148 and U+0179..U+017E, on
  // even ones elsewhere (U+0130 and U+0138, capital and kra, pair with nothing).
  const bool capitalsOdd = (letter >= 0x139 && letter <= 0x148) || letter >= 0x179;
  const bool isSmall = (letter % 2 == 1) != capitalsOdd;
  return isSmall ? letter - 1 : letter;
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
