#include "publish/optional_pattern.h"

#include <string_view>
#include <vector>

namespace zavex {
namespace {

// Glob match by dynamic programming over (pattern position, text position),
// so patterns with many stars stay linear in each dimension.
bool GlobMatches(std::string_view pattern, std::string_view text) {
  const std::size_t columns = text.size() + 1;
  // matched[p * columns + t]: pattern from p matches text from t.
  std::vector<char> matched((pattern.size() + 1) * columns, 0);
  matched[pattern.size() * columns + text.size()] = 1;
  for (std::size_t p = pattern.size(); p-- > 0;) {
    const bool anyDepth = pattern[p] == '*' && p + 1 < pattern.size() && pattern[p + 1] == '*';
    const std::size_t afterStar = anyDepth ? p + 2 : p + 1;
    for (std::size_t t = text.size() + 1; t-- > 0;) {
      char& cell = matched[p * columns + t];
      if (pattern[p] == '*') {
        const bool canTake = t < text.size() && (anyDepth || text[t] != '/');
        // Either the star ends here, or it takes one more character.
        cell = matched[afterStar * columns + t] || (canTake && matched[p * columns + t + 1]);
      } else if (t < text.size()) {
        const bool one = pattern[p] == '?' ? text[t] != '/' : pattern[p] == text[t];
        cell = one && matched[(p + 1) * columns + t + 1];
      }
    }
  }
  return matched[0];
}

std::string_view FileName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool MatchesOptionalPattern(const std::string& pattern, const std::string& relativePath) {
  const bool wholePath = pattern.find('/') != std::string::npos;
  return GlobMatches(pattern, wholePath ? std::string_view(relativePath) : FileName(relativePath));
}

}  // namespace zavex
