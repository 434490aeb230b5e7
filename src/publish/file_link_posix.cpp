#include "publish/file_link.h"

namespace zavex {

bool IsLink(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ignored));
}

}  // namespace zavex
