// Opens a compressed image for reading by its data file's name: the kind from the name, the side
// file checked and parsed whole before anything else happens, then any block read and
// decompressed. Shared locks on both files keep another run from replacing them meanwhile.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "common/commit_group.h"
#include "packing/block_codec.h"
#include "packing/compressed_format.h"

namespace quarnel {

// Completes an interrupted commit of the compressed image `dataFile` (CompleteInterruptedCommit
// with the side files of every kind). Every command calls it, through CompressedReader::Open()
// or CompressedWriter::Create(), before it opens the image.
CommitRepair CompleteInterruptedImageCommit(const std::string& dataFile);

struct BlockEntry {
  uint32_t offset;  // in the data file
  uint32_t length;  // stored length, at least 1
  XaTag tag;        // zero outside ".ZNX"
};

class CompressedReader {
 public:
  CompressedReader() = default;
  CompressedReader(const CompressedReader&) = delete;
  CompressedReader& operator=(const CompressedReader&) = delete;
  ~CompressedReader();

  // Completes an interrupted commit of the image first (RepairLine() says what it did), then
  // opens it. False with Error() set to one sentence (no "ERROR: "), Errno() to the errno where
  // there is one and Busy() when another run writes one of the files or commits them now.
  bool Open(const std::string& dataFile);
  // Opens a compressed image of `mode` that this process is still writing, under other names
  // than its final ones (the temporaries of the writer, which holds their locks): no locks taken.
  bool OpenWritten(const std::string& dataPath, const std::string& sidePath, CompressionMode mode);

  CompressionMode Mode() const { return mode_; }
  const CompressedKind& Kind() const { return KindOf(mode_); }
  const std::string& DataFile() const { return dataFile_; }
  const std::string& SideFile() const { return sideFile_; }
  uint64_t DataSize() const { return dataSize_; }
  uint64_t SideSize() const { return sideSize_; }
  uint32_t Blocks() const { return static_cast<uint32_t>(entries_.size()); }
  const std::vector<BlockEntry>& Entries() const { return entries_; }

  // Copies block `i`'s stored bytes into `out` (room for Entries()[i].length); reads ahead, so a
  // forward walk costs one large read per mebibyte. False with Errno() set.
  bool ReadBlock(uint32_t i, uint8_t* out);
  // Reads `length` bytes at `offset` of the data file (the sections behind the blocks); false when
  // the file holds fewer.
  bool ReadAt(uint64_t offset, uint8_t* out, size_t length);
  // Decompresses a stored block into `out` (room for Kind().rawBlockLength). False: damaged.
  bool DecodeBlock(BlockDecompressor& codec, const uint8_t* stored, uint32_t length, uint8_t* out,
                   size_t* produced) const;

  const std::string& Error() const { return error_; }
  int Errno() const { return errno_; }
  bool Busy() const { return busy_; }
  // The side file was refused for what it says (its size or an entry), not for a failed read.
  bool SideFileDamaged() const { return sideFileDamaged_; }
  // What completing an interrupted commit did in Open(), for the log; "" when there was none, and
  // when the commit could not be completed (Error() says so then).
  const std::string& RepairLine() const { return repairLine_; }

 private:
  bool Refuse(const std::string& why, int error = 0);
  bool RefuseSideFile(const std::string& why, int error = EINVAL);
  bool OpenLocked(const std::string& path, int* fd, uint64_t* size, bool lock = true);
  bool ParseSideFile();

  CompressionMode mode_ = CompressionMode::Zlib;
  std::string dataFile_;
  std::string sideFile_;
  int dataFd_ = -1;
  int sideFd_ = -1;
  uint64_t dataSize_ = 0;
  uint64_t sideSize_ = 0;
  std::vector<BlockEntry> entries_;
  std::vector<uint8_t> window_;
  uint64_t windowStart_ = 0;
  size_t windowLength_ = 0;
  std::string error_;
  std::string repairLine_;
  int errno_ = 0;
  bool busy_ = false;
  bool sideFileDamaged_ = false;
};

}  // namespace quarnel
