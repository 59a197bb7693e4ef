#include "common/platform.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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

void LoadSettings(AppState& state) {
  std::memset(state.ImagePath, 0, sizeof state.ImagePath);
  std::FILE* f = std::fopen(SettingsFilePath().c_str(), "rb");
  if (f == nullptr) {
    SaveSettings(state);
    return;
  }
  const size_t got = std::fread(state.ImagePath, 1, sizeof state.ImagePath, f);
  std::fclose(f);
  (void)got;
  state.ImagePath[sizeof state.ImagePath - 1] = '\0';  // readers take the text up to a zero
}

void SaveSettings(const AppState& state) {
  const std::string path = SettingsFilePath();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(state.ImagePath, 1, sizeof state.ImagePath, f);
  std::fclose(f);
}

bool PrepareWorkFolder(std::string* folder, int* error) {
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) {
    *error = errno;
    return false;
  }
  *folder = std::string(cwd) + "/audio";
  if (::mkdir(folder->c_str(), 0777) != 0 && errno != EEXIST) {
    *error = errno;
    return false;
  }
  struct stat st;
  if (::stat(folder->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = ENOTDIR;
    return false;
  }
  return true;
}

bool RunEncoder(const std::string& workFolder, const std::vector<std::string>& args) {
  const std::string local = workFolder + "/lame";
  const bool useLocal = ::access(local.c_str(), X_OK) == 0;
  const std::string program = useLocal ? local : "lame";

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int rc = useLocal
                     ? posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ)
                     : posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // glibc reports a program it could not execute as exit status 127.
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

}  // namespace quarnel
