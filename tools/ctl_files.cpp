#include "tools/ctl_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// Writes all of `text` to `fd`; false with errno set.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool Ctl_ReplaceFile(const std::string& path, const std::string& text, mode_t mode, bool durable) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string tmp = dir + (slash == std::string::npos ? "/" : "") + ".parvek-new.XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && (!durable || ::fsync(fd) == 0);
  int e = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) {
    if (durable) {
      const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (d >= 0) {
        (void)::fsync(d);
        ::close(d);
      }
    }
    return true;
  }
  if (ok) e = errno;
  ::unlink(tmp.c_str());
  errno = e;
  return false;
}
