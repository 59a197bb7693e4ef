// Opening and reading the files the FLAC code reads: regular files only, read whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "packing/flac_internal.h"

namespace quarnel::flac {

std::string ErrnoText(int error) {
  return std::strerror(error != 0 ? error : EIO);
}

int OpenRegular(const std::string& path, uint64_t* size, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    *why = "cannot open " + path + ": " + ErrnoText(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *why = "cannot open " + path + ": it is not a regular file";
  } else {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *size = uint64_t(st.st_size);
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

}  // namespace quarnel::flac
