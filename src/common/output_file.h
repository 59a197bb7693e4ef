// A file written with every write and close checked: the first failure is kept with its errno.
//
// Nothing is ever written into a file that existed before, nor through a link: every file is
// created new with O_EXCL|O_NOFOLLOW.
//
// Create() makes a work file nobody else sees: whatever stands at its name (a link included) is
// removed first. CreateStaged() makes an output that appears under its name only when whole: it is
// written as NAME.partial in the same folder and renamed onto NAME by Commit(), after a flush and
// fsync; Discard(), or destruction before Commit(), removes the temporary and leaves whatever
// stands at NAME as it was. A NAME.partial left by a killed run is removed when no run holds it;
// one that another run writes, or that is a hard link or no regular file, is refused. While the
// file is open, exclusive advisory locks on the temporary and on an existing NAME keep a second
// run from writing the same name or reading what this one replaces. Outputs that must appear
// together are committed by a CommitGroup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace quarnel {

constexpr char PARTIAL_SUFFIX[] = ".partial";
// The longest suffix a run adds to a final name: the commit record's temporary,
// NAME.commit.partial.
constexpr size_t WORK_SUFFIX_MAX = sizeof ".commit.partial" - 1;

// Whether `path` with `extra` more bytes still fits: its last part within NAME_MAX and the whole
// within PATH_MAX.
bool NameFits(const std::string& path, size_t extra);
// The first of `finals` whose work names do not fit (NAME.partial, and NAME.commit.partial for
// the first, which names the commit record), or "" when all fit. Checked before a run starts, so
// that a long name is refused naming that very file.
std::string FirstNameTooLong(const std::vector<std::string>& finals);
// Fsyncs the folder holding `path`, so that a rename or removal in it lasts; false on failure.
bool SyncFolderOf(const std::string& path);

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // A work file: what stood at `path` (not a folder) is removed first, and Replaces() says so.
  bool Create(const std::string& path, size_t bufferSize = 1 << 20);
  // False with Errno() and Error() set; Busy() when another run holds the temporary or the
  // existing file.
  bool CreateStaged(const std::string& path, size_t bufferSize = 1 << 20);
  // Fails this file without creating anything: for a caller that refuses `path` up front.
  bool Refuse(const std::string& path, int error, const std::string& why);

  bool Write(const void* data, size_t size);
  // Writes over bytes already written, then goes on at the end.
  bool Rewrite(uint64_t offset, const void* data, size_t size);
  // Cuts what was written back to `length` bytes (no more than Position()) and goes on from there.
  bool Truncate(uint64_t length);
  // Hands the buffered bytes to the file, so that another descriptor reads them; false on failure.
  bool Flush();
  // Flushes and fsyncs the temporary of a staged file; false (Errno() set) on failure.
  bool Sync();
  // Flushes and closes; false when any write or the close failed. Not for staged files.
  bool Close();
  // Staged: flush, fsync, rename onto the final name, fsync the folder. False (nothing renamed)
  // when any write failed; false with HasFinalName() when only the folder's fsync failed.
  bool Commit();
  // Closes and deletes what was written: the temporary of a staged file (never a file that has
  // its final name, nor a temporary a commit record names), or the work file.
  void Discard();

  bool IsOpen() const { return file_ != nullptr; }
  bool Failed() const { return errno_ != 0; }
  bool Busy() const { return busy_; }
  int Errno() const { return errno_; }
  // One sentence saying what failed, for the log (no "ERROR: "); "" when nothing failed.
  std::string Error() const;
  uint64_t Position() const { return written_; }
  // The name the file has once whole: the final name of a staged file.
  const std::string& Path() const { return path_; }
  const std::string& TemporaryPath() const { return temporary_; }
  bool Staged() const { return !temporary_.empty(); }
  // Whether the staged file was renamed onto its final name: after a failed Commit(), it is whole
  // there, yet may not survive a crash.
  bool HasFinalName() const { return renamed_; }
  // Whether something stood at the name: Create() removed it; CreateStaged() replaces it on
  // Commit().
  bool Replaces() const { return replaces_; }

  // Test hook: staged files fail with ENOSPC once they would hold more than `bytes` (~0: never).
  static void FailStagedWritesAfterForTesting(uint64_t bytes);
  // Test hook: Commit() fails the fsync of the folder with `error` (0: never).
  static void FailFolderSyncForTesting(int error);

 private:
  friend class CommitGroup;

  bool Fail(int error, const std::string& why = {});
  void Reset(const std::string& path);
  bool Begin(int fd, size_t bufferSize);
  void Release();
  // After the temporary was renamed onto the final name: it is the output now, still open and
  // locked until Close().
  void Renamed();
  // Takes the temporary off the list a hard exit removes, yet leaves it this file's to remove:
  // done before a commit record that names it appears, so that no exit deletes what it names.
  void Unlist();
  // Leaves the temporary on disk for whoever completes a recorded commit: off the list of
  // temporaries and never removed by this object (it stays open and locked until Close()).
  void KeepTemporary();

  std::unique_ptr<char[]> buffer_;  // the stream's; outlives it
  std::FILE* file_ = nullptr;
  std::string path_;
  std::string temporary_;
  std::string problem_;  // what failed, when errno alone does not say it
  int finalFd_ = -1;     // the existing file at the final name, locked for the run
  int slot_ = -1;        // in the process-wide list of temporaries
  int errno_ = 0;
  bool busy_ = false;
  bool owns_ = false;  // the temporary is this file's to remove
  bool work_ = false;  // a work file of Create(), removed by Discard()
  bool created_ = false;
  bool replaces_ = false;
  bool renamed_ = false;
  uint64_t written_ = 0;
  uint64_t device_ = 0;  // of the work file, so that Discard() removes only that file
  uint64_t inode_ = 0;
};

}  // namespace quarnel
