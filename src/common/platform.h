// What the operating system gives the core: the work folder and the external MP3 encoder. A port
// to another system replaces this file's implementation and nothing else.
#pragma once

#include <string>
#include <vector>

#include "common/app_state.h"

namespace quarnel {

// The one stored setting: the 256 raw bytes of ImagePath, in the file
// $XDG_CONFIG_HOME/Harrowgate/Mirelle/CDR/quenbar/IsoFile (~/.config when the variable is unset).
// Failures are not reported: a missing or unreadable file leaves the path empty.
std::string SettingsFilePath();
// Fills ImagePath from the stored value; the first start stores 256 zero bytes.
void LoadSettings(AppState& state);
void SaveSettings(const AppState& state);

// The folder "audio" under the current directory, created when missing. Returns false with the
// errno in *error when it cannot be made.
bool PrepareWorkFolder(std::string* folder, int* error);

// Runs the MP3 encoder with `args` (no program name) and waits for it without a time limit; its
// output is kept off the user's terminal. The encoder is "lame" in the work folder when that
// exists, else "lame" found on PATH. Returns false when it could not be started.
bool RunEncoder(const std::string& workFolder, const std::vector<std::string>& args);

}  // namespace quarnel
