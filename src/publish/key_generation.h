#pragma once

#include <filesystem>
#include <string>

namespace zavex {

// Writes a new key pair into folder as release-signing-key.pem (private, for
// the current user only) and release-signing-key.pub.pem. False with the
// reason when either exists already or cannot be written.
bool GenerateKeyFiles(const std::filesystem::path& folder, std::string& error);

}  // namespace zavex
