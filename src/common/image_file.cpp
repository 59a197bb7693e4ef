#include "common/image_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quarnel {

bool ImageFile::Open(const char* path) {
  return Open(std::vector<std::string>{path});
}

bool ImageFile::Open(const std::vector<std::string>& paths) {
  Close();
  openError_ = 0;
  failedPath_.clear();
  readErrno_ = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!OpenPart(paths[i], i + 1 < paths.size())) {
      failedPath_ = paths[i];
      Close();
      return false;
    }
  }
  if (parts_.empty()) {
    openError_ = ENOENT;
    return false;
  }
  Rewind();
  return true;
}

bool ImageFile::OpenPart(const std::string& path, bool wholeSectorsOnly) {
  // O_NONBLOCK: a FIFO would otherwise wait for a writer before fstat could refuse it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    openError_ = errno;
    return false;
  }
  struct stat st;
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    error = EINVAL;
  } else if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    // Another run holds it exclusively while it writes the file.
    error = errno == EINTR ? EWOULDBLOCK : errno;
  }
  if (error != 0) {
    openError_ = error;
    ::close(fd);
    return false;
  }
  uint64_t size = 0;
  if (S_ISBLK(st.st_mode)) {
    const off_t end = ::lseek(fd, 0, SEEK_END);
    size = end > 0 ? static_cast<uint64_t>(end) : 0;
  } else {
    size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  const uint64_t bytes = wholeSectorsOnly ? size / SECTOR_SIZE * SECTOR_SIZE : size;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  parts_.push_back({fd, size_, bytes, size});
  size_ += bytes;
  return true;
}

void ImageFile::Close() {
  for (const Part& part : parts_) ::close(part.fd);  // closing drops the lock
  parts_.clear();
  size_ = 0;
  chunk_.clear();
  chunk_.shrink_to_fit();
  chunkBytes_ = chunkPos_ = 0;
  streamPos_ = 0;
}

void ImageFile::Rewind() {
  chunkBytes_ = chunkPos_ = 0;
  streamPos_ = 0;
}

bool ImageFile::ReadPart(const Part& part, uint64_t offset, uint8_t* out, size_t bytes) {
  size_t done = 0;
  while (done < bytes) {
    const ssize_t r = ::pread(part.fd, out + done, bytes - done, static_cast<off_t>(offset + done));
    if (r > 0) {
      done += static_cast<size_t>(r);
    } else if (r == 0) {
      readErrno_ = EIO;  // the file shrank after it was measured
      return false;
    } else if (errno != EINTR) {
      readErrno_ = errno;
      return false;
    }
  }
  return true;
}

size_t ImageFile::ReadAt(uint64_t offset, uint8_t* out, size_t bytes) {
  size_t done = 0;
  for (const Part& part : parts_) {
    if (done == bytes) break;
    const uint64_t at = offset + done;
    if (at >= part.start + part.bytes) continue;
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(bytes - done, part.start + part.bytes - at));
    if (!ReadPart(part, at - part.start, out + done, n)) break;
    done += n;
  }
  return done;
}

// Moves the unread tail to the front and fills the rest of the buffer.
bool ImageFile::Fill() {
  if (chunk_.empty()) chunk_.resize(CHUNK_SECTORS * SECTOR_SIZE);
  const size_t tail = chunkBytes_ - chunkPos_;
  if (tail > 0 && chunkPos_ > 0) std::memmove(chunk_.data(), chunk_.data() + chunkPos_, tail);
  chunkBytes_ = tail;
  chunkPos_ = 0;
  if (readErrno_ == 0 && streamPos_ < size_) {
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(chunk_.size() - chunkBytes_, size_ - streamPos_));
    const size_t got = ReadAt(streamPos_, chunk_.data() + chunkBytes_, want);
    chunkBytes_ += got;
    streamPos_ += got;
  }
  return chunkBytes_ > 0;
}

const uint8_t* ImageFile::NextSector() {
  if (parts_.empty()) return nullptr;
  if (chunkBytes_ - chunkPos_ < SECTOR_SIZE) {
    if (!Fill() || chunkBytes_ < SECTOR_SIZE) return nullptr;
  }
  const uint8_t* sector = chunk_.data() + chunkPos_;
  chunkPos_ += SECTOR_SIZE;
  return sector;
}

size_t ImageFile::ReadStream(uint8_t* out, size_t bytes) {
  size_t done = 0;
  while (done < bytes) {
    if (chunkPos_ == chunkBytes_) {
      if (readErrno_ != 0 || streamPos_ >= size_ || !Fill()) break;
    }
    const size_t n = std::min(bytes - done, chunkBytes_ - chunkPos_);
    std::memcpy(out + done, chunk_.data() + chunkPos_, n);
    chunkPos_ += n;
    done += n;
  }
  return done;
}

bool ImageFile::ReadSectorAt(uint32_t n, uint8_t* out) {
  const uint64_t offset = static_cast<uint64_t>(n) * SECTOR_SIZE;
  if (parts_.empty() || offset + SECTOR_SIZE > size_) return false;
  return ReadAt(offset, out, SECTOR_SIZE) == SECTOR_SIZE;
}

}  // namespace quarnel
