// A file created for writing, replacing any file of its name, whose every write and close is
// checked: the first failure is kept with its errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quarnel {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { Close(); }

  bool Create(const std::string& path, size_t bufferSize = 1 << 20);
  bool Write(const void* data, size_t size);
  // Writes over bytes already written, then goes on at the end.
  bool Rewrite(uint64_t offset, const void* data, size_t size);
  // Closes the file and cuts it back to `size` bytes (a section that could not be completed).
  void CloseAndTruncate(uint64_t size);
  // Flushes and closes; false when any write or the close failed.
  bool Close();
  // Closes and deletes what was written.
  void Discard();

  bool IsOpen() const { return file_ != nullptr; }
  bool Failed() const { return errno_ != 0; }
  int Errno() const { return errno_; }
  uint64_t Position() const { return written_; }
  const std::string& Path() const { return path_; }

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
  int errno_ = 0;
  uint64_t written_ = 0;
};

}  // namespace quarnel
