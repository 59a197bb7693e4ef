// What the operating system gives the core: the settings file, the work folder and the external MP3
// encoder. A port to another system replaces this file's implementation and nothing else.
#pragma once

#include <string>
#include <vector>

#include "common/image_path.h"

namespace quarnel {

// The one stored setting: the 256 raw bytes of ImagePath, in the file
// $XDG_CONFIG_HOME/Harrowgate/Mirelle/CDR/quenbar/IsoFile (~/.config when the variable is unset).
// Failures are not reported: a missing or unreadable file leaves the path empty.
std::string SettingsFilePath();
// Fills ImagePath from the stored value; the first start stores 256 zero bytes.
void LoadSettings(char (&ImagePath)[IMAGE_PATH_SIZE]);
void SaveSettings(const char (&ImagePath)[IMAGE_PATH_SIZE]);

// The folder that holds a run's work files (WAV, raw and MP3). Without a requested folder it is
// a private one, made with mkdtemp under $TMPDIR (else /tmp) so that runs at once never share a
// file, and removed with its files when this object ends. A requested folder is made when missing
// and kept with its files. Its path is absolute either way.
class WorkFolder {
 public:
  WorkFolder() = default;
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  ~WorkFolder();

  // False with the errno in *error when the folder cannot be made; Path() then names what was
  // tried.
  bool Make(const std::string& requested, int* error);
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  bool private_ = false;
};

// The MP3 encoder as an absolute path: "audio/lame" under the current directory when it can be
// run, else "lame" found on PATH; empty when there is none. Taken once, before the run, so that a
// current directory that changes or vanishes later does not move it.
std::string FindEncoder();
// Where a user can put the encoder for FindEncoder to find it.
std::string LocalEncoderPath();

// Runs `encoder` with `args` (no program name) and waits for it without a time limit. Its output
// is kept off the user's terminal, and it runs in a process group of its own, so that Ctrl-C in
// the terminal reaches this program only and an encoder run is never cut off. Returns true when
// it exited with status 0; otherwise *why says how it ended ("exit status 1", ...).
bool RunEncoder(const std::string& encoder, const std::vector<std::string>& args, std::string* why);

// Kills the process group of the encoder that runs now, if any. Async-signal-safe: for a hard
// exit from a signal handler.
void KillRunningEncoder();

}  // namespace quarnel
