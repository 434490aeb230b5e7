#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zavex {

// Reads the decimal digits at text[at], moving at past them; none when there
// are none. Values beyond 64 bits read as the largest.
std::optional<uint64_t> ReadDecimal(std::wstring_view text, size_t& at);

// A Content-Length header's value; none unless it is all digits.
std::optional<uint64_t> ReadContentLength(std::wstring_view text);

// True when a Content-Range header's value is "bytes <from>-<total - 1>/<total>",
// the rest of a file from byte from, and total is size when size is given.
bool ContinuesAt(std::wstring_view contentRange, uint64_t from, std::optional<uint64_t> size);

}  // namespace zavex
