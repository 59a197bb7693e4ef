#include "common/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/temporary_files.h"

namespace quarnel {

namespace {

uint64_t stagedWriteLimit = ~uint64_t{0};

// Opens the temporary for reading and writing, never through a link: a link or other non-regular
// file standing at its name (left there by anyone) is removed first.
int OpenTemporary(const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
      }
      ::unlink(path.c_str());
    }
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) {
      if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
      }
      ::close(fd);
    } else if (errno != ELOOP) {
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

void SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

void OutputFile::FailStagedWritesAfterForTesting(uint64_t bytes) {
  stagedWriteLimit = bytes;
}

OutputFile::~OutputFile() {
  if (Staged()) {
    Discard();
  } else {
    Close();
  }
}

bool OutputFile::Fail(int error) {
  if (errno_ == 0) errno_ = error != 0 ? error : EIO;
  return false;
}

bool OutputFile::Create(const std::string& path, size_t bufferSize) {
  if (Staged()) Discard();
  Close();
  path_ = path;
  temporary_.clear();
  errno_ = 0;
  written_ = 0;
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return Fail(errno);
  std::setvbuf(file_, nullptr, _IOFBF, bufferSize);
  return true;
}

bool OutputFile::CreateStaged(const std::string& path, size_t bufferSize) {
  if (Staged()) Discard();
  Close();
  path_ = path;
  temporary_ = path + PARTIAL_SUFFIX;
  errno_ = 0;
  busy_ = false;
  replaces_ = false;
  written_ = 0;

  // What stands at the final name is locked for the run, unless it is a link: the rename replaces
  // a link and leaves its target alone, so there is nothing to guard.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    replaces_ = true;
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
    if (!S_ISLNK(st.st_mode)) {
      finalFd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (finalFd_ >= 0 && ::flock(finalFd_, LOCK_EX | LOCK_NB) != 0) {
        busy_ = errno == EWOULDBLOCK;
        const int error = errno;
        Release();
        return Fail(error);
      }
    }
  }

  const int fd = OpenTemporary(temporary_);
  if (fd < 0) {
    const int error = errno;
    Release();
    return Fail(error);
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    busy_ = errno == EWOULDBLOCK;
    const int error = errno;
    ::close(fd);
    Release();
    return Fail(error);
  }
  // The temporary is ours from here on: one left by a killed run is reused.
  owns_ = true;
  slot_ = RegisterTemporaryFile(temporary_.c_str());
  if (::ftruncate(fd, 0) != 0 || (file_ = ::fdopen(fd, "r+b")) == nullptr) {
    const int error = errno;
    ::close(fd);
    Discard();
    return Fail(error);
  }
  std::setvbuf(file_, nullptr, _IOFBF, bufferSize);
  return true;
}

bool OutputFile::Write(const void* data, size_t size) {
  if (file_ == nullptr || errno_ != 0) return false;
  if (size == 0) return true;
  if (Staged() && written_ + size > stagedWriteLimit) return Fail(ENOSPC);
  if (std::fwrite(data, 1, size, file_) != size) return Fail(errno);
  written_ += size;
  return true;
}

bool OutputFile::Rewrite(uint64_t offset, const void* data, size_t size) {
  if (file_ == nullptr || errno_ != 0) return false;
  if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0 ||
      std::fwrite(data, 1, size, file_) != size || std::fseek(file_, 0, SEEK_END) != 0) {
    return Fail(errno);
  }
  return true;
}

bool OutputFile::Flush() {
  if (file_ == nullptr || errno_ != 0) return false;
  return std::fflush(file_) == 0 || Fail(errno);
}

bool OutputFile::Close() {
  if (file_ == nullptr) return errno_ == 0;
  errno = 0;
  if (std::fclose(file_) != 0) Fail(errno);
  file_ = nullptr;
  return errno_ == 0;
}

bool OutputFile::Commit() {
  if (!Staged()) return Close();
  if (file_ == nullptr || errno_ != 0) return Fail(EIO);
  if (std::fflush(file_) != 0) return Fail(errno);
  if (::fsync(fileno(file_)) != 0) return Fail(errno);
  // The temporary stays open, and locked, until it has its final name.
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) return Fail(errno);
  ForgetTemporaryFile(slot_);
  slot_ = -1;
  owns_ = false;
  SyncFolderOf(path_);
  std::fclose(file_);
  file_ = nullptr;
  temporary_.clear();
  Release();
  return true;
}

void OutputFile::Discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (Staged()) {
    // Only a temporary this file locked is removed: another run's is left alone.
    if (owns_) ::unlink(temporary_.c_str());
    owns_ = false;
    ForgetTemporaryFile(slot_);
    slot_ = -1;
    temporary_.clear();
    Release();
  } else if (!path_.empty()) {
    std::remove(path_.c_str());
  }
}

void OutputFile::Release() {
  if (finalFd_ >= 0) ::close(finalFd_);
  finalFd_ = -1;
}

}  // namespace quarnel
