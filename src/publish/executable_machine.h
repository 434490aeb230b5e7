#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zavex {

// The IMAGE_FILE_HEADER machines that an updater may be built for.
inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;

// Empty when file is a PE image for machine; otherwise what it is instead,
// to follow its name in a refusal ("is not a Windows executable ...", "is a
// Windows executable for x86-64 (AMD64, 0x8664) ...").
std::string ExecutableMachineRefusal(const std::filesystem::path& file, std::uint16_t machine);

}  // namespace zavex
