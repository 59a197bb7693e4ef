#include "common/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/temporary_files.h"

namespace quarnel {

std::string SettingsFilePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.config";
  }
  return base + "/Harrowgate/Mirelle/CDR/quenbar/IsoFile";
}

void LoadSettings(char (&ImagePath)[IMAGE_PATH_SIZE]) {
  std::memset(ImagePath, 0, sizeof ImagePath);
  std::FILE* f = std::fopen(SettingsFilePath().c_str(), "rb");
  if (f == nullptr) {
    SaveSettings(ImagePath);
    return;
  }
  const size_t got = std::fread(ImagePath, 1, sizeof ImagePath, f);
  std::fclose(f);
  (void)got;
  ImagePath[sizeof ImagePath - 1] = '\0';  // readers take the text up to a zero
}

void SaveSettings(const char (&ImagePath)[IMAGE_PATH_SIZE]) {
  const std::string path = SettingsFilePath();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(ImagePath, 1, sizeof ImagePath, f);
  std::fclose(f);
}

namespace {

constexpr char PRIVATE_PREFIX[] = ".quarnel-work-";
constexpr size_t PRIVATE_NAME_SIZE = sizeof PRIVATE_PREFIX - 1 + 6;  // mkdtemp's six letters

// The current directory, or empty when it cannot be had (it was deleted): never "" + "/name".
std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

// `path` made absolute against the current directory; empty (errno set) when that is gone.
std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  const std::string cwd = CurrentDirectory();
  if (cwd.empty()) return {};
  return path.empty() || path == "." ? cwd : cwd + "/" + path;
}

bool IsRunnable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the private folders in `parent` whose run is gone: a run holds the lock on its own
// until it has removed it, so one that can be locked was left by a run that was killed. Links and
// other users' folders are left alone.
void RemoveStalePrivateFolders(const std::string& parent) {
  DIR* folder = ::opendir(parent.c_str());
  if (folder == nullptr) return;
  const int parentFd = ::dirfd(folder);
  while (const dirent* entry = ::readdir(folder)) {
    if (std::strlen(entry->d_name) != PRIVATE_NAME_SIZE ||
        std::strncmp(entry->d_name, PRIVATE_PREFIX, sizeof PRIVATE_PREFIX - 1) != 0) {
      continue;
    }
    const int fd =
        ::openat(parentFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      RemoveFolderEntries(fd);
      ::unlinkat(parentFd, entry->d_name, AT_REMOVEDIR);
    }
    ::close(fd);
  }
  ::closedir(folder);
}

}  // namespace

WorkFolder::~WorkFolder() {
  Release();
}

void WorkFolder::Release() {
  if (fd_ >= 0 && private_) {
    // Only this run writes into its private folder: everything in it is a work file of this run.
    RemoveFolderEntries(fd_);
    ::rmdir(path_.c_str());
    ForgetTemporaryFolder(slot_);
  }
  if (fd_ >= 0) ::close(fd_);  // and with it the lock
  fd_ = -1;
  slot_ = -1;
  private_ = false;
  prepared_.clear();
  replaced_.clear();
}

bool WorkFolder::Fail(const std::string& message, std::string* error) {
  *error = message;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  return false;
}

bool WorkFolder::Make(const std::string& requested, const std::string& parent, std::string* error) {
  Release();
  if (requested.empty()) return MakePrivate(parent, error);
  path_ = Absolute(requested);
  if (path_.empty()) {
    const int code = errno;
    path_ = requested;
    return Fail("cannot make the work folder " + requested + ": " + std::strerror(code), error);
  }
  return MakeRequested(error);
}

bool WorkFolder::MakeRequested(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(path_, ec);
  // The folder the user named is opened through a link there; what lies inside never is.
  fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    const int code = ec ? ec.value() : errno;
    return Fail("cannot make the work folder " + path_ + ": " + std::strerror(code), error);
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    return Fail(code == EWOULDBLOCK
                    ? "the work folder " + path_ + " is in use by another run"
                    : "cannot lock the work folder " + path_ + ": " + std::strerror(code),
                error);
  }
  return true;
}

int WorkFolder::LockNewFolder() {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) return errno;
  struct stat opened, named;
  int code = 0;
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    code = errno;
  } else if (::fstat(fd_, &opened) != 0 || ::lstat(path_.c_str(), &named) != 0 ||
             !SameFile(opened, named)) {
    code = ENOENT;  // removed by a sweep before the lock was taken
  }
  if (code != 0) {
    ::close(fd_);
    fd_ = -1;
  }
  return code;
}

bool WorkFolder::MakePrivate(const std::string& parent, std::string* error) {
  const std::string folder = Absolute(parent);
  if (folder.empty()) {
    const int code = errno;
    path_ = parent;
    return Fail("cannot make a work folder in " + parent + ": " + std::strerror(code), error);
  }
  RemoveStalePrivateFolders(folder);
  // Another run's sweep may take a folder made here before it is locked: then make another.
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string pattern = folder + (folder.back() == '/' ? "" : "/") + PRIVATE_PREFIX + "XXXXXX";
    path_ = pattern;
    if (::mkdtemp(pattern.data()) == nullptr) {
      const int code = errno;
      return Fail("cannot make the work folder " + path_ + ": " + std::strerror(code), error);
    }
    path_ = pattern;
    const int code = LockNewFolder();
    if (code == 0) {
      private_ = true;
      slot_ = RegisterTemporaryFolder(path_.c_str());
      return true;
    }
    if (code != ENOENT && code != EWOULDBLOCK) {
      ::rmdir(path_.c_str());
      return Fail("cannot make the work folder " + path_ + ": " + std::strerror(code), error);
    }
  }
  return Fail("cannot make a work folder in " + folder + ": other runs keep removing it", error);
}

bool WorkFolder::PrepareFile(const std::string& name, std::string* path, std::string* error) {
  *path = path_ + "/" + name;
  if (fd_ < 0) {
    *error = "cannot create " + *path + ": no work folder was made";
    return false;
  }
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    *error = "cannot create " + *path + ": not a plain file name";
    return false;
  }
  const bool ours = std::find(prepared_.begin(), prepared_.end(), name) != prepared_.end();
  struct stat st;
  if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) {
      *error = "cannot create " + *path + ": " + std::strerror(EISDIR);
      return false;
    }
    if (::unlinkat(fd_, name.c_str(), 0) != 0) {
      *error = "cannot replace " + *path + ": " + std::strerror(errno);
      return false;
    }
    if (!ours) replaced_.push_back(name);
  } else if (errno != ENOENT) {
    *error = "cannot create " + *path + ": " + std::strerror(errno);
    return false;
  }
  if (!ours) prepared_.push_back(name);
  return true;
}

std::string LocalEncoderPath() {
  const std::string cwd = CurrentDirectory();
  return (cwd.empty() ? std::string(".") : cwd) + "/audio/lame";
}

namespace {

// Why the local encoder, which exists, cannot be run; empty when it can, or when it does not
// exist (*exists false).
std::string LocalEncoderProblem(const std::string& local, bool* exists) {
  struct stat link, target;
  *exists = true;
  if (::lstat(local.c_str(), &link) != 0) {
    // "audio" being a file means there is no audio/lame either.
    *exists = !(errno == ENOENT || errno == ENOTDIR);
    return *exists ? std::strerror(errno) : "";
  }
  if (::stat(local.c_str(), &target) != 0) {
    return std::string("it is a link that leads to no file (") + std::strerror(errno) + ")";
  }
  if (S_ISDIR(target.st_mode)) return "it is a folder";
  if (!S_ISREG(target.st_mode)) return "it is not a regular file";
  if (::access(local.c_str(), X_OK) != 0) {
    return std::string("it is not executable (") + std::strerror(errno) + ")";
  }
  return {};
}

}  // namespace

std::string FindEncoder(std::string* error) {
  const std::string cwd = CurrentDirectory();
  if (!cwd.empty()) {
    const std::string local = cwd + "/audio/lame";
    bool exists;
    const std::string problem = LocalEncoderProblem(local, &exists);
    if (exists && problem.empty()) return local;
    if (exists) {
      *error = "the MP3 encoder " + local + " cannot be run: " + problem +
               "; repair it, or remove it to use lame on PATH";
      return {};
    }
  }
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    start = end + 1;
    // An empty entry is the current directory, as for the shell.
    if (dir.empty() || dir[0] != '/') {
      if (cwd.empty()) continue;
      dir = dir.empty() ? cwd : cwd + "/" + dir;
    }
    if (IsRunnable(dir + "/lame")) return dir + "/lame";
  }
  const std::string local = LocalEncoderPath();
  *error = "no MP3 encoder: neither " + local +
           " nor lame on PATH can be run; install the Debian package lame (apt-get install "
           "lame), or put the encoder at " +
           local;
  return {};
}

}  // namespace quarnel
