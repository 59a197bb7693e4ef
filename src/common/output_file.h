// A file written with every write and close checked: the first failure is kept with its errno.
//
// Create() writes straight to its name (work files nobody else sees). CreateStaged() makes an
// output that appears under its name only when whole: it is written as NAME.partial in the same
// folder and renamed onto NAME by Commit(), after a flush and fsync; Discard(), or destruction
// before Commit(), removes the temporary and leaves whatever stands at NAME as it was. While the
// file is open, exclusive advisory locks on the temporary and on an existing NAME keep a second run
// from writing the same name or reading what this one replaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quarnel {

constexpr char PARTIAL_SUFFIX[] = ".partial";

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  bool Create(const std::string& path, size_t bufferSize = 1 << 20);
  // False with Errno() set; Busy() when another run holds the temporary or the existing file.
  bool CreateStaged(const std::string& path, size_t bufferSize = 1 << 20);

  bool Write(const void* data, size_t size);
  // Writes over bytes already written, then goes on at the end.
  bool Rewrite(uint64_t offset, const void* data, size_t size);
  // Hands the buffered bytes to the file, so that another descriptor reads them; false on failure.
  bool Flush();
  // Flushes and closes; false when any write or the close failed. Not for staged files.
  bool Close();
  // Staged: flush, fsync, rename onto the final name, fsync the folder. False (nothing renamed)
  // when any write failed.
  bool Commit();
  // Closes and deletes what was written (the temporary of a staged file).
  void Discard();

  bool IsOpen() const { return file_ != nullptr; }
  bool Failed() const { return errno_ != 0; }
  bool Busy() const { return busy_; }
  int Errno() const { return errno_; }
  uint64_t Position() const { return written_; }
  // The name the file has once whole: the final name of a staged file.
  const std::string& Path() const { return path_; }
  const std::string& TemporaryPath() const { return temporary_; }
  bool Staged() const { return !temporary_.empty(); }
  // Whether a file stood at the final name when CreateStaged() was called.
  bool Replaces() const { return replaces_; }

  // Test hook: staged files fail with ENOSPC once they would hold more than `bytes` (~0: never).
  static void FailStagedWritesAfterForTesting(uint64_t bytes);

 private:
  bool Fail(int error);
  void Release();

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string temporary_;
  int finalFd_ = -1;  // the existing file at the final name, locked for the run
  int slot_ = -1;     // in the process-wide list of temporaries
  int errno_ = 0;
  bool busy_ = false;
  bool owns_ = false;  // the temporary is locked by this file
  bool replaces_ = false;
  uint64_t written_ = 0;
};

}  // namespace quarnel
