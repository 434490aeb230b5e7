#pragma once

#include <filesystem>
#include <string>

namespace zavex {

// Creates file holding bytes; refuses when anything exists at that path.
// With onlyForUser, only the current user may open it, from its creation on.
// False with the reason otherwise.
bool CreateNewFile(const std::filesystem::path& file, const std::string& bytes, bool onlyForUser,
                   std::string& error);

}  // namespace zavex
