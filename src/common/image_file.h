// Read-only access to a raw image: a forward stream of whole sectors through one large buffer, and
// single sectors at any position.
#pragma once

#include <cstdint>
#include <vector>

#include "common/sector.h"

namespace quarnel {

class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() { Close(); }

  // Opens a regular file (or block device) for reading; on failure OpenError() holds the errno.
  bool Open(const char* path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int OpenError() const { return openError_; }
  uint64_t Size() const { return size_; }

  // The forward stream starts at sector 0 after Open() and Rewind().
  void Rewind();
  // The next whole sector, or nullptr at the end of the file (a partial last sector is not
  // returned) or after a read error.
  const uint8_t* NextSector();

  // Reads up to `bytes` from the stream's position into `out` (used for blocks); returns the count.
  size_t ReadStream(uint8_t* out, size_t bytes);

  bool ReadSectorAt(uint32_t n, uint8_t* out);

  bool ReadFailed() const { return readErrno_ != 0; }
  int ReadErrno() const { return readErrno_; }

 private:
  bool Fill();

  // About a mebibyte of whole sectors: large reads run at the speed of the page cache.
  static constexpr size_t CHUNK_SECTORS = 448;

  int fd_ = -1;
  int openError_ = 0;
  int readErrno_ = 0;
  uint64_t size_ = 0;
  std::vector<uint8_t> chunk_;
  size_t chunkBytes_ = 0;
  size_t chunkPos_ = 0;
  bool atEnd_ = false;
};

}  // namespace quarnel
