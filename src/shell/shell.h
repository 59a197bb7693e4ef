// The window front end: `quarnel` without arguments.
#pragma once

namespace quarnel {

// Opens the main window and returns 0 when it has closed. Where no display can be opened it says
// so in one line on stderr and returns 1.
int RunWindow(int argc, char** argv);

// True when Qt can open a window: the display server that QT_QPA_PLATFORM (or the session)
// names answers, or a platform without one starts in a child process. May set QT_QPA_PLATFORM to
// "wayland" when only a Wayland compositor is there.
bool DisplayAvailable();

}  // namespace quarnel
