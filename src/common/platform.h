// What the operating system gives the core: the settings file, the work folder and the external MP3
// encoder (its runs are in encoder_runs.h, the stop signals in interrupts.h). A port to another
// system replaces these files' implementations and nothing else.
#pragma once

#include <string>
#include <vector>

#include "common/encoder_runs.h"
#include "common/image_path.h"

namespace quarnel {

// The one stored setting: the 256 raw bytes of ImagePath, in the file
// $XDG_CONFIG_HOME/Harrowgate/Mirelle/CDR/quenbar/IsoFile (~/.config when the variable is unset).
// Failures are not reported: a missing or unreadable file leaves the path empty.
std::string SettingsFilePath();
// Fills ImagePath from the stored value; the first start stores 256 zero bytes.
void LoadSettings(char (&ImagePath)[IMAGE_PATH_SIZE]);
void SaveSettings(const char (&ImagePath)[IMAGE_PATH_SIZE]);

// The folder that holds a run's work files (WAV, raw and MP3), locked for this object's life so
// that two runs never share one. Its path is absolute. Nothing inside it is followed when it is
// a link: entries are made fresh by name (PrepareFile) and never written through.
class WorkFolder {
 public:
  WorkFolder() = default;
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  ~WorkFolder();

  // `requested` (--work-folder) is made with its parents when missing and kept with its files; it
  // may itself be a link to a folder. Empty, a private folder .quarnel-work-XXXXXX is made in
  // `parent` (the outputs' folder; empty: the current directory) and removed with its files when
  // this object ends or at a hard exit; private folders a killed run left there are removed
  // first. False with *error, a line naming the folder ("cannot make the work folder X: ...",
  // "the work folder X is in use by another run"); Path() then names what was tried.
  bool Make(const std::string& requested, const std::string& parent, std::string* error);

  const std::string& Path() const { return path_; }
  // The folder, open: for openat(O_CREAT | O_EXCL | O_NOFOLLOW) of the names PrepareFile cleared.
  int Descriptor() const { return fd_; }

  // Clears the plain file name `name` for this run and gives its path: an entry there (a file or
  // a link, never a folder) is removed, and listed in ReplacedFiles when this run did not make it,
  // so that the caller creates the file fresh with O_CREAT | O_EXCL | O_NOFOLLOW, or the encoder
  // writes a new file at that name. False with *error naming the path.
  bool PrepareFile(const std::string& name, std::string* path, std::string* error);
  // The names, in order, whose earlier files PrepareFile removed.
  const std::vector<std::string>& ReplacedFiles() const { return replaced_; }

 private:
  bool Fail(const std::string& message, std::string* error);
  bool MakeRequested(std::string* error);
  bool MakePrivate(const std::string& parent, std::string* error);
  // Opens and locks the folder just made at path_: 0, or the errno (ENOENT when it was swept away).
  int LockNewFolder();
  void Release();

  std::string path_;
  int fd_ = -1;  // holds the lock
  int slot_ = -1;
  bool private_ = false;
  std::vector<std::string> prepared_;
  std::vector<std::string> replaced_;
};

// The MP3 encoder as an absolute path: "audio/lame" under the current directory, else "lame"
// found on PATH. Empty with *error, the line to print, when there is none, or when audio/lame
// exists but cannot be run: a broken local encoder is never passed over for another. Taken once,
// before the run, so that a current directory that changes or vanishes later does not move it.
std::string FindEncoder(std::string* error);
// Where a user can put the encoder for FindEncoder to find it.
std::string LocalEncoderPath();

}  // namespace quarnel
