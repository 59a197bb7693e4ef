#include "packing/regular_files.h"

#include <unistd.h>

#include <cerrno>

namespace quarnel {

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
