#include "common/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

extern char** environ;

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

// The process group of the running encoder (its pid), 0 when none runs. Process-wide because a
// signal handler must reach it.
std::atomic<pid_t> runningEncoder{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

// The current directory, or empty when it cannot be had (it was deleted): never "" + "/name".
std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

bool IsRunnable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

WorkFolder::~WorkFolder() {
  if (!private_) return;
  // Only this run writes into its private folder: everything in it is a work file of this run.
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool WorkFolder::Make(const std::string& requested, int* error) {
  if (requested.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
    pattern += "/quarnel-XXXXXX";
    path_ = pattern;
    if (::mkdtemp(pattern.data()) == nullptr) {
      *error = errno;
      return false;
    }
    path_ = pattern;
    private_ = true;
    return true;
  }
  path_ = requested;
  if (requested[0] != '/') {
    const std::string cwd = CurrentDirectory();
    if (cwd.empty()) {
      *error = errno;
      return false;
    }
    path_ = cwd + "/" + requested;
  }
  std::error_code ec;
  std::filesystem::create_directories(path_, ec);
  if (!std::filesystem::is_directory(path_)) {
    *error = ec ? ec.value() : ENOTDIR;
    return false;
  }
  return true;
}

std::string LocalEncoderPath() {
  const std::string cwd = CurrentDirectory();
  return (cwd.empty() ? std::string(".") : cwd) + "/audio/lame";
}

std::string FindEncoder() {
  const std::string cwd = CurrentDirectory();
  if (!cwd.empty() && IsRunnable(cwd + "/audio/lame")) return cwd + "/audio/lame";
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
  return {};
}

bool RunEncoder(const std::string& encoder, const std::vector<std::string>& args,
                std::string* why) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(encoder.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  // Ignored signals would be inherited; the encoder gets the defaults.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  pid_t pid;
  const int rc = posix_spawn(&pid, encoder.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    *why = std::string("cannot start it: ") + std::strerror(rc);
    return false;
  }
  runningEncoder.store(pid);
  int status = 0;
  pid_t waited;
  while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  runningEncoder.store(0);
  if (waited != pid) {
    *why = std::string("cannot wait for it: ") + std::strerror(errno);
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  *why = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                           : "killed by signal " + std::to_string(WTERMSIG(status));
  return false;
}

void KillRunningEncoder() {
  const pid_t pid = runningEncoder.load();
  if (pid > 0) ::kill(-pid, SIGKILL);
}

}  // namespace quarnel
