#pragma once

#include <string>

namespace zavex {

// Whether relativePath ("/" between folders) matches pattern: "*" stands for
// any run of characters within one name, "**" for any run across folders,
// "?" for one character other than "/"; everything else matches itself,
// letter case included. A pattern without "/" is matched against the file
// name alone, in whatever folder it lies.
bool MatchesOptionalPattern(const std::string& pattern, const std::string& relativePath);

}  // namespace zavex
