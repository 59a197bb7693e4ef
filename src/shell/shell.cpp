#include "shell/shell.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QScreen>
#include <QWindow>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shell/main_window.h"

namespace quarnel {

namespace {

bool XServerAnswers() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') return false;
  xcb_connection_t* connection = xcb_connect(display, nullptr);
  const bool ok = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return ok;
}

bool WaylandAnswers() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (name == nullptr || name[0] == '\0') return false;
  std::string socketPath = name;
  if (name[0] != '/') {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr) return false;
    socketPath = std::string(runtime) + "/" + name;
  }
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// Qt's Wayland platform is a separate package; without it Qt cannot use the compositor.
bool WaylandPluginInstalled() {
  const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                       QStringLiteral("/platforms"));
  return !platforms.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
}

constexpr int PROBE_SECONDS = 20;

// Qt ends the process with an abort when no platform it is asked for starts: a framebuffer that
// cannot be opened, no EGL device, a name that is no plugin. A child process starts Qt and makes a
// window first, with its output and any core dump suppressed; the window opens only when the child
// could make one.
bool PlatformStartsInChild() {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return true;  // nothing to ask with: Qt itself will say
  if (child == 0) {
    ::prctl(PR_SET_DUMPABLE, 0);
    std::signal(SIGABRT, [](int) { ::_exit(1); });
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    static int argc = 1;
    static char name[] = "quarnel";
    static char* argv[] = {name, nullptr};
    // Left to _exit: only whether a window can be made matters. A platform may start with no
    // screen (a framebuffer it cannot find) and abort at the first window.
    new QGuiApplication(argc, argv);
    if (QGuiApplication::primaryScreen() == nullptr) ::_exit(1);
    (new QWindow)->create();
    ::_exit(0);
  }
  int status = 0;
  for (int waited = 0; waited < PROBE_SECONDS * 100; ++waited) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0 && errno != EINTR) return false;
    ::usleep(10000);
  }
  // A platform that does not start within the time is as good as none.
  ::kill(child, SIGKILL);
  ::waitpid(child, &status, 0);
  return false;
}

// Qt ends the process when its platform cannot start, so the display is checked first. X and
// Wayland are asked directly; any other platform is started once in a child process.
bool PlatformStarts(const std::string& name) {
  if (name == "xcb") return XServerAnswers();
  if (name.rfind("wayland", 0) == 0) return WaylandAnswers() && WaylandPluginInstalled();
  return PlatformStartsInChild();
}

}  // namespace

bool DisplayAvailable() {
  const char* requested = std::getenv("QT_QPA_PLATFORM");
  if (requested != nullptr && requested[0] != '\0') {
    // A list separated by ';' is tried in order; ':' starts a platform's options.
    std::string list = requested;
    size_t start = 0;
    while (start <= list.size()) {
      const size_t end = std::min(list.find(';', start), list.size());
      const std::string entry = list.substr(start, end - start);
      const std::string name = entry.substr(0, entry.find(':'));
      if (!name.empty() && PlatformStarts(name)) return true;
      start = end + 1;
    }
    return false;
  }
  if (XServerAnswers()) return true;
  if (WaylandAnswers() && WaylandPluginInstalled()) {
    ::setenv("QT_QPA_PLATFORM", "wayland", 1);
    return true;
  }
  return false;
}

int RunWindow(int argc, char** argv) {
  if (!DisplayAvailable()) {
    std::fputs(
        "quarnel: no display to open the window on; run a subcommand instead: analyse, process, "
        "uncompress, verify, info, sample\n",
        stderr);
    return 1;
  }
  QApplication app(argc, argv);
  MainWindow window;
  window.exec();
  return 0;
}

}  // namespace quarnel
