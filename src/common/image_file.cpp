#include "common/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quarnel {

bool ImageFile::Open(const char* path) {
  Close();
  openError_ = 0;
  readErrno_ = 0;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    openError_ = errno;
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    openError_ = errno;
    ::close(fd);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    openError_ = EISDIR;
    ::close(fd);
    return false;
  }
  if (S_ISBLK(st.st_mode)) {
    const off_t end = ::lseek(fd, 0, SEEK_END);
    size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    ::lseek(fd, 0, SEEK_SET);
  } else {
    size_ = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  fd_ = fd;
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  Rewind();
  return true;
}

void ImageFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  chunk_.clear();
  chunk_.shrink_to_fit();
  chunkBytes_ = chunkPos_ = 0;
}

void ImageFile::Rewind() {
  if (fd_ < 0) return;
  ::lseek(fd_, 0, SEEK_SET);
  chunkBytes_ = chunkPos_ = 0;
  atEnd_ = false;
}

// Moves the unread tail to the front and fills the rest of the buffer.
bool ImageFile::Fill() {
  if (chunk_.empty()) chunk_.resize(CHUNK_SECTORS * SECTOR_SIZE);
  const size_t tail = chunkBytes_ - chunkPos_;
  if (tail > 0 && chunkPos_ > 0) std::memmove(chunk_.data(), chunk_.data() + chunkPos_, tail);
  chunkBytes_ = tail;
  chunkPos_ = 0;
  while (!atEnd_ && chunkBytes_ < chunk_.size()) {
    const ssize_t n = ::read(fd_, chunk_.data() + chunkBytes_, chunk_.size() - chunkBytes_);
    if (n > 0) {
      chunkBytes_ += static_cast<size_t>(n);
    } else if (n == 0) {
      atEnd_ = true;
    } else if (errno != EINTR) {
      readErrno_ = errno;
      atEnd_ = true;
    }
  }
  return chunkBytes_ > 0;
}

const uint8_t* ImageFile::NextSector() {
  if (fd_ < 0) return nullptr;
  if (chunkBytes_ - chunkPos_ < SECTOR_SIZE) {
    if (atEnd_ || !Fill() || chunkBytes_ < SECTOR_SIZE) return nullptr;
  }
  const uint8_t* sector = chunk_.data() + chunkPos_;
  chunkPos_ += SECTOR_SIZE;
  return sector;
}

size_t ImageFile::ReadStream(uint8_t* out, size_t bytes) {
  if (fd_ < 0) return 0;
  size_t done = 0;
  while (done < bytes) {
    if (chunkPos_ == chunkBytes_ && (atEnd_ || !Fill())) break;
    const size_t n = std::min(bytes - done, chunkBytes_ - chunkPos_);
    std::memcpy(out + done, chunk_.data() + chunkPos_, n);
    chunkPos_ += n;
    done += n;
  }
  return done;
}

bool ImageFile::ReadSectorAt(uint32_t n, uint8_t* out) {
  if (fd_ < 0) return false;
  const off_t offset = static_cast<off_t>(n) * SECTOR_SIZE;
  size_t done = 0;
  while (done < SECTOR_SIZE) {
    const ssize_t r = ::pread(fd_, out + done, SECTOR_SIZE - done, offset + done);
    if (r > 0) {
      done += static_cast<size_t>(r);
    } else if (r == 0) {
      return false;
    } else if (errno != EINTR) {
      readErrno_ = errno;
      return false;
    }
  }
  return true;
}

}  // namespace quarnel
