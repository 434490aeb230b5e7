#pragma once

#include <cstddef>
#include <cstdint>

namespace zavex {

// Fills bytes from the system's preferred random generator (BCryptGenRandom);
// false when it failed.
bool FillWithSystemRandom(std::uint8_t* bytes, std::size_t count);

}  // namespace zavex
