// Read-only access to a raw image: a forward stream of whole sectors through one large buffer, and
// single sectors at any position. The image may be one file or a list of files (one per track)
// that together form one sector space: the files follow one another in the given order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/sector.h"

namespace quarnel {

class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() { Close(); }

  // Opens a regular file or block device for reading, without waiting on a FIFO or device, and
  // holds a shared lock on it while open. On failure OpenError() holds the errno: EWOULDBLOCK when
  // another run holds it for writing, EINVAL for what is neither a regular file nor a block device.
  bool Open(const char* path);
  // Opens every file of `paths` as above. Every file but the last contributes only its whole
  // sectors, so that each starts on a sector boundary of the joined image.
  bool Open(const std::vector<std::string>& paths);
  void Close();
  bool IsOpen() const { return !parts_.empty(); }
  int OpenError() const { return openError_; }
  // The file whose opening failed.
  const std::string& FailedPath() const { return failedPath_; }
  // Bytes of the image, as measured at Open(); nothing past them is read.
  uint64_t Size() const { return size_; }

  size_t FileCount() const { return parts_.size(); }
  uint64_t FileStart(size_t i) const { return parts_[i].start; }  // byte offset in the image
  uint64_t FileBytes(size_t i) const { return parts_[i].bytes; }  // bytes it contributes
  uint64_t FileSize(size_t i) const { return parts_[i].fileSize; }

  // The forward stream starts at sector 0 after Open() and Rewind().
  void Rewind();
  // The next whole sector, or nullptr at the end of the image (a partial last sector is not
  // returned) or after a read error.
  const uint8_t* NextSector();

  // Reads up to `bytes` from the stream's position into `out` (used for blocks); returns the count.
  size_t ReadStream(uint8_t* out, size_t bytes);

  bool ReadSectorAt(uint32_t n, uint8_t* out);
  // Reads up to `bytes` at byte `offset` of the image; returns the count (short at the image end).
  size_t ReadAt(uint64_t offset, uint8_t* out, size_t bytes);

  // A read failed, or a file ended before the size measured at Open() (it shrank).
  bool ReadFailed() const { return readErrno_ != 0; }
  int ReadErrno() const { return readErrno_; }

 private:
  struct Part {
    int fd;
    uint64_t start;
    uint64_t bytes;
    uint64_t fileSize;
  };

  bool OpenPart(const std::string& path, bool wholeSectorsOnly);
  bool Fill();
  // Reads `bytes` at `offset` of one part; false (and ReadFailed) when it cannot.
  bool ReadPart(const Part& part, uint64_t offset, uint8_t* out, size_t bytes);

  // About a mebibyte of whole sectors: large reads run at the speed of the page cache.
  static constexpr size_t CHUNK_SECTORS = 448;

  std::vector<Part> parts_;
  int openError_ = 0;
  std::string failedPath_;
  int readErrno_ = 0;
  uint64_t size_ = 0;
  std::vector<uint8_t> chunk_;
  size_t chunkBytes_ = 0;
  size_t chunkPos_ = 0;
  uint64_t streamPos_ = 0;  // image offset of the next byte to fill
};

}  // namespace quarnel
