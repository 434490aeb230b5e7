#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "publish/file_link.h"

namespace zavex {
namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int value) : value(value) {}
  ~Descriptor() {
    if (value >= 0) close(value);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return value; }

 private:
  int value;
};

bool CopyAll(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = read(from, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0;
    for (ssize_t done = 0; done < got;) {
      const ssize_t written = write(to, buffer + done, static_cast<size_t>(got - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      done += written;
    }
  }
}

}  // namespace

bool IsLink(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ignored));
}

bool CopyWithoutFollowingLinks(const std::filesystem::path& source,
                               const std::filesystem::path& copy, bool& becameLink) {
  const Descriptor from(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  becameLink = from.get() < 0 && errno == ELOOP;
  struct stat status = {};
  if (from.get() < 0 || fstat(from.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const Descriptor to(open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  return to.get() >= 0 && CopyAll(from.get(), to.get());
}

}  // namespace zavex
