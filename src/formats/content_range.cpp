#include "formats/content_range.h"

namespace zavex {

std::optional<uint64_t> ReadDecimal(std::wstring_view text, size_t& at) {
  const size_t start = at;
  uint64_t value = 0;
  for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
    const unsigned digit = text[at] - L'0';
    value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
  }
  if (at == start) return std::nullopt;
  return value;
}

std::optional<uint64_t> ReadContentLength(std::wstring_view text) {
  size_t at = 0;
  const std::optional<uint64_t> length = ReadDecimal(text, at);
  if (at != text.size()) return std::nullopt;
  return length;
}

bool ContinuesAt(std::wstring_view contentRange, uint64_t from, std::optional<uint64_t> size) {
  constexpr std::wstring_view kUnit = L"bytes ";
  if (contentRange.substr(0, kUnit.size()) != kUnit) return false;
  size_t at = kUnit.size();
  const std::optional<uint64_t> first = ReadDecimal(contentRange, at);
  if (first != from || at >= contentRange.size() || contentRange[at++] != L'-') return false;
  const std::optional<uint64_t> last = ReadDecimal(contentRange, at);
  if (!last || at >= contentRange.size() || contentRange[at++] != L'/') return false;
  const std::optional<uint64_t> total = ReadDecimal(contentRange, at);
  if (!total || at != contentRange.size() || *total == 0 || *last != *total - 1) return false;
  return !size || *total == *size;
}

}  // namespace zavex
