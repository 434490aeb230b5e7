#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "publish/new_file.h"

namespace zavex {
namespace {

bool WriteAll(int descriptor, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t written = write(descriptor, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool CreateNewFile(const std::filesystem::path& file, const std::string& bytes, bool onlyForUser,
                   std::string& error) {
  const int descriptor =
      open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, onlyForUser ? 0600 : 0644);
  if (descriptor < 0) {
    error = "cannot create " + file.u8string() + ": " + std::strerror(errno);
    return false;
  }
  const bool written = WriteAll(descriptor, bytes);
  if (close(descriptor) == 0 && written) return true;
  error = "cannot write " + file.u8string();
  return false;
}

}  // namespace zavex
