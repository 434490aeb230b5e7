#pragma once

#include <cstdint>
#include <string>

namespace zavex {

// Short size text for the window, for example "1.5 MB": whole bytes below
// 1 KB, otherwise KB, MB or GB (steps of 1024) with one decimal. Counts beyond
// the gigabytes stay in GB.
std::wstring FormatSize(std::uint64_t bytes);

}  // namespace zavex
