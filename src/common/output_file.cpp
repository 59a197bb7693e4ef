#include "common/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "common/image_path.h"
#include "common/temporary_files.h"

namespace quarnel {

namespace {

uint64_t stagedWriteLimit = ~uint64_t{0};
int folderSyncFault = 0;

// Two runs that create the same temporary at once may each take the other's for a leftover;
// this many rounds settle it, or the name is reported busy.
constexpr int CREATE_ATTEMPTS = 8;

// Whether `path` still names the regular file open as `fd`, and only that name does.
bool NamesOnly(int fd, const std::string& path) {
  struct stat open, named;
  return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino && open.st_nlink == 1;
}

enum class Leftover { GONE, REFUSED, FAILED };

// Removes a temporary that a killed run left: a regular file with one link that no run holds.
// Anything else stays, refused with a reason in *why.
Leftover RemoveLeftover(const std::string& path, std::string* why, bool* busy) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? Leftover::GONE : Leftover::FAILED;
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
    *why = path +
           (S_ISREG(st.st_mode) ? " is a hard link to another file"
                                : " is in the way and is not a regular file") +
           "; it was left alone: remove it by hand";
    errno = EEXIST;
    return Leftover::REFUSED;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Leftover::GONE : Leftover::FAILED;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) {
      *busy = true;
      *why = path + " is busy: another run is writing it";
    }
    errno = error;
    return error == EWOULDBLOCK ? Leftover::REFUSED : Leftover::FAILED;
  }
  // Locked, and still the one name of that file: nobody writes it, so it goes.
  if (NamesOnly(fd, path)) ::unlink(path.c_str());
  ::close(fd);
  return Leftover::GONE;
}

// Creates the temporary `path` as a new file and locks it; -1 with errno (and *why when errno does
// not say it) when it cannot be had.
int CreateTemporary(const std::string& path, std::string* why, bool* busy) {
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // Another run may have taken it for a leftover between the create and the lock.
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && NamesOnly(fd, path)) return fd;
      ::close(fd);
      continue;
    }
    if (errno != EEXIST) return -1;
    const Leftover left = RemoveLeftover(path, why, busy);
    if (left != Leftover::GONE) return -1;
  }
  *busy = true;
  *why = path + " is busy: another run is creating it";
  errno = EWOULDBLOCK;
  return -1;
}

// The folder that holds `path`, as open(2) takes it.
std::string FolderHolding(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool NameFits(const std::string& path, size_t extra) {
  const size_t last = BareName(path).size();
  return last + extra <= NAME_MAX && path.size() + extra < PATH_MAX;
}

std::string FirstNameTooLong(const std::vector<std::string>& finals) {
  for (size_t i = 0; i < finals.size(); ++i) {
    if (!NameFits(finals[i], i == 0 ? WORK_SUFFIX_MAX : sizeof PARTIAL_SUFFIX - 1)) {
      return finals[i];
    }
  }
  return {};
}

bool SyncFolderOf(const std::string& path) {
  const int fd = ::open(FolderHolding(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  errno = error;
  return synced;
}

void OutputFile::FailStagedWritesAfterForTesting(uint64_t bytes) {
  stagedWriteLimit = bytes;
}

void OutputFile::FailFolderSyncForTesting(int error) {
  folderSyncFault = error;
}

OutputFile::~OutputFile() {
  if (Staged()) {
    Discard();
  } else {
    Close();
  }
}

bool OutputFile::Fail(int error, const std::string& why) {
  if (errno_ == 0) {
    errno_ = error != 0 ? error : EIO;
    problem_ = why;
  }
  return false;
}

std::string OutputFile::Error() const {
  if (errno_ == 0) return {};
  if (!problem_.empty()) return problem_;
  return (created_ ? "cannot write " : "cannot create ") + path_ + ": " + std::strerror(errno_);
}

void OutputFile::Reset(const std::string& path) {
  if (Staged()) Discard();
  Close();
  path_ = path;
  temporary_.clear();
  problem_.clear();
  errno_ = 0;
  busy_ = false;
  work_ = false;
  created_ = false;
  replaces_ = false;
  renamed_ = false;
  written_ = 0;
}

bool OutputFile::Begin(int fd, size_t bufferSize) {
  file_ = ::fdopen(fd, "r+b");
  if (file_ == nullptr) {
    const int error = errno;
    ::close(fd);
    return Fail(error);
  }
  created_ = true;
  // Given no buffer, the C library keeps its own small one whatever size is asked for.
  buffer_ = std::make_unique_for_overwrite<char[]>(bufferSize);
  std::setvbuf(file_, buffer_.get(), _IOFBF, bufferSize);
  return true;
}

bool OutputFile::Refuse(const std::string& path, int error, const std::string& why) {
  Reset(path);
  busy_ = error == EWOULDBLOCK;
  return Fail(error, why);
}

bool OutputFile::Create(const std::string& path, size_t bufferSize) {
  Reset(path);
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Fail(errno);
      replaces_ = true;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      if (::fstat(fd, &st) == 0) {
        device_ = st.st_dev;
        inode_ = st.st_ino;
      }
      work_ = true;
      return Begin(fd, bufferSize);
    }
    if (errno != EEXIST) return Fail(errno);
  }
  return Fail(EEXIST);
}

bool OutputFile::CreateStaged(const std::string& path, size_t bufferSize) {
  Reset(path);
  temporary_ = path + PARTIAL_SUFFIX;
  if (!NameFits(path, sizeof PARTIAL_SUFFIX - 1)) {
    return Fail(ENAMETOOLONG, "the name " + path + " is too long: its temporary " + temporary_ +
                                  " would not fit in the folder");
  }

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
        return Fail(error, busy_ ? path + " is busy: another run reads or writes it" : "");
      }
    }
  }

  std::string why;
  const int fd = CreateTemporary(temporary_, &why, &busy_);
  if (fd < 0) {
    const int error = errno;
    Release();
    return Fail(error, why);
  }
  owns_ = true;
  slot_ = RegisterTemporaryFile(temporary_.c_str());
  if (!Begin(fd, bufferSize)) {
    Discard();
    return false;
  }
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

bool OutputFile::Truncate(uint64_t length) {
  if (file_ == nullptr || errno_ != 0 || length > written_) return false;
  if (std::fflush(file_) != 0 || ::ftruncate(fileno(file_), static_cast<off_t>(length)) != 0 ||
      std::fseek(file_, static_cast<long>(length), SEEK_SET) != 0) {
    return Fail(errno);
  }
  written_ = length;
  return true;
}

bool OutputFile::Flush() {
  if (file_ == nullptr || errno_ != 0) return false;
  return std::fflush(file_) == 0 || Fail(errno);
}

bool OutputFile::Sync() {
  if (file_ == nullptr) return Fail(EIO);
  if (!Flush()) return false;
  return ::fsync(fileno(file_)) == 0 || Fail(errno);
}

bool OutputFile::Close() {
  Release();
  if (file_ == nullptr) return errno_ == 0;
  errno = 0;
  if (std::fclose(file_) != 0) Fail(errno);
  file_ = nullptr;
  return errno_ == 0;
}

bool OutputFile::Commit() {
  if (!Staged()) return Close();
  if (!Sync()) return false;
  // The temporary stays open, and locked, until it has its final name.
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
    const int error = errno;
    return Fail(error,
                "cannot rename " + temporary_ + " onto " + path_ + ": " + std::strerror(error));
  }
  Renamed();
  if (folderSyncFault != 0 || !SyncFolderOf(path_)) {
    const int error = folderSyncFault != 0 ? folderSyncFault : errno;
    Fail(error, "cannot sync the folder " + FolderHolding(path_) + " holding " + path_ + ": " +
                    std::strerror(error) + "; " + path_ +
                    " has its final name but may not survive a crash");
  }
  return Close();
}

void OutputFile::Renamed() {
  ForgetTemporaryFile(slot_);
  slot_ = -1;
  owns_ = false;
  renamed_ = true;
  temporary_.clear();
}

void OutputFile::Unlist() {
  ForgetTemporaryFile(slot_);
  slot_ = -1;
}

void OutputFile::KeepTemporary() {
  Unlist();
  owns_ = false;
}

void OutputFile::Discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (Staged()) {
    // Only a temporary this file made is removed: another run's, or one a commit record names,
    // is left alone.
    if (owns_) ::unlink(temporary_.c_str());
    owns_ = false;
    ForgetTemporaryFile(slot_);
    slot_ = -1;
    temporary_.clear();
  } else if (work_) {
    struct stat st;
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) {
      ::unlink(path_.c_str());
    }
  }
  work_ = false;
  Release();
}

void OutputFile::Release() {
  if (finalFd_ >= 0) ::close(finalFd_);
  finalFd_ = -1;
}

}  // namespace quarnel
