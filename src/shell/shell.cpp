#include "shell/shell.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/app_state.h"
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

// Qt ends the process when its platform cannot start, so the display is checked first.
bool PlatformStarts(const std::string& name) {
  if (name == "xcb") return XServerAnswers();
  if (name.rfind("wayland", 0) == 0) return WaylandAnswers() && WaylandPluginInstalled();
  return true;  // offscreen, minimal, vnc, linuxfb, eglfs: nothing to ask beforehand
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
        "uncompress, sample\n",
        stderr);
    return 1;
  }
  QApplication app(argc, argv);
  const auto state = MakeAppState();
  MainWindow window(*state);
  window.exec();
  return 0;
}

}  // namespace quarnel
