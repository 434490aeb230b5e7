// libFuzzer target: the publisher's path rules. An accepted path has only
// non-empty names without forbidden characters, letter case never changes
// the verdict, an accepted path stays accepted one folder down, and the
// case-collision search agrees with a pairwise comparison of Windows names.
// An input holds paths separated by zero bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "formats/windows_file_name.h"
#include "publish/release_paths.h"

namespace {

constexpr std::size_t kMaxPathsCompared = 64;

std::string UpperAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return text;
}

void CheckAcceptedShape(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.back() == '/' ||
      path.find("//") != std::string::npos || path.find_first_of("\\:*?\"<>|%#") != std::string::npos) {
    __builtin_trap();
  }
  for (const char c : path) {
    if (static_cast<unsigned char>(c) < 0x20) __builtin_trap();
  }
}

void CheckPath(const std::string& path) {
  const bool accepted = zavex::PathRefusal(path).empty();
  if (accepted != zavex::PathRefusal(UpperAscii(path)).empty()) __builtin_trap();
  if (!accepted) return;
  CheckAcceptedShape(path);
  if (!zavex::PathRefusal("folder/" + path).empty()) __builtin_trap();
}

void CheckCollisions(const std::vector<std::string>& paths) {
  if (paths.size() > kMaxPathsCompared) return;
  bool expected = false;
  for (std::size_t later = 0; later < paths.size() && !expected; ++later) {
    for (std::size_t earlier = 0; earlier < later && !expected; ++earlier) {
      expected = zavex::NameSameFile(paths[earlier], paths[later]);
    }
  }
  std::pair<std::string, std::string> collision;
  const bool found = zavex::FindCaseCollision(paths, collision);
  if (found != expected) __builtin_trap();
  if (found && !zavex::NameSameFile(collision.first, collision.second)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> paths;
  for (std::size_t start = 0;;) {
    const std::size_t end = input.find('\0', start);
    paths.push_back(input.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  for (const std::string& path : paths) CheckPath(path);
  CheckCollisions(paths);
  return 0;
}
