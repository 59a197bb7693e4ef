#include "packing/regular_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quarnel {

int OpenRegular(const std::string& path, uint64_t* size, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    *why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *why = "it is not a regular file";
  } else {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (size != nullptr) *size = uint64_t(st.st_size);
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

bool PreadAll(int fd, uint64_t offset, void* to, size_t size, int* error) {
  auto* p = static_cast<uint8_t*>(to);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : 0;  // 0: the file ends first
      return false;
    }
    p += n;
    offset += uint64_t(n);
    size -= size_t(n);
  }
  return true;
}

}  // namespace quarnel
