#pragma once

#include <cstddef>
#include <string_view>

namespace zavex {

// Whether two UTF-8 relative paths name one file as Windows sees it: letters
// of the Basic Multilingual Plane compare by their simple uppercase, "\" and
// "/" alike. Invalid UTF-8 compares
// as the replacement character that the conversion to a Windows name puts there.
bool NameSameFile(std::string_view left, std::string_view right);

// A hash on which paths that name one file agree.
std::size_t FileNameHash(std::string_view path);

}  // namespace zavex
