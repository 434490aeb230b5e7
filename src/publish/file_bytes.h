#pragma once

#include <filesystem>
#include <string>

namespace zavex {

// The whole content of file; false when it cannot be read.
bool ReadWholeFile(const std::filesystem::path& file, std::string& bytes);

// Writes bytes as file, replacing what is there; false when the write fails.
bool WriteWholeFile(const std::filesystem::path& file, const void* bytes, std::size_t size);

}  // namespace zavex
