#include "packing/compressed_reader.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quarnel {

namespace {

constexpr size_t READ_AHEAD = 1 << 20;

bool ReadFully(int fd, uint64_t offset, uint8_t* out, size_t length, size_t* got) {
  *got = 0;
  while (*got < length) {
    const ssize_t n = ::pread(fd, out + *got, length - *got, static_cast<off_t>(offset + *got));
    if (n > 0) {
      *got += static_cast<size_t>(n);
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

CommitRepair CompleteInterruptedImageCommit(const std::string& dataFile) {
  static const std::vector<std::string> sideSuffixes = {KindOf(CompressionMode::Zlib).tableSuffix,
                                                        KindOf(CompressionMode::Bzip2).tableSuffix};
  return CompleteInterruptedCommit(dataFile, sideSuffixes);
}

CompressedReader::~CompressedReader() {
  if (dataFd_ >= 0) ::close(dataFd_);
  if (sideFd_ >= 0) ::close(sideFd_);
}

bool CompressedReader::Refuse(const std::string& why, int error) {
  error_ = why;
  errno_ = error;
  return false;
}

bool CompressedReader::RefuseSideFile(const std::string& why, int error) {
  sideFileDamaged_ = true;
  return Refuse(why, error);
}

// Opens a regular file for reading under a shared lock.
bool CompressedReader::OpenLocked(const std::string& path, int* fd, uint64_t* size, bool lock) {
  *fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (*fd < 0) return Refuse("cannot open " + path + ": " + std::strerror(errno), errno);
  struct stat st;
  if (::fstat(*fd, &st) != 0)
    return Refuse("cannot open " + path + ": " + std::strerror(errno), errno);
  if (!S_ISREG(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return Refuse("cannot open " + path + ": " +
                      (S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file"),
                  error);
  }
  if (lock && ::flock(*fd, LOCK_SH | LOCK_NB) != 0) {
    busy_ = errno == EWOULDBLOCK;
    return Refuse(path + " is busy: another run writes it", errno);
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool CompressedReader::Open(const std::string& dataFile) {
  dataFile_ = dataFile;
  const CommitRepair repair = CompleteInterruptedImageCommit(dataFile);
  if (repair.Blocks()) {
    busy_ = repair.result == CommitRepair::BUSY;
    return Refuse(repair.line, busy_ ? EWOULDBLOCK : EIO);
  }
  repairLine_ = repair.line;
  const std::optional<CompressionMode> mode = CompressionModeOfName(dataFile);
  if (!mode) {
    return Refuse(dataFile + " is not a compressed image: " + KnownKindsText(), EINVAL);
  }
  mode_ = *mode;
  const CompressedKind& kind = KindOf(mode_);
  sideFile_ = dataFile + kind.tableSuffix;

  if (!OpenLocked(dataFile, &dataFd_, &dataSize_)) return false;
  // No compressor's output begins with a sector's sync pattern; a raw image always does.
  uint8_t head[SYNC_SIZE];
  size_t got = 0;
  if (ReadFully(dataFd_, 0, head, sizeof head, &got) && got == sizeof head &&
      std::memcmp(head, CD_SYNC, sizeof head) == 0) {
    return Refuse(dataFile + " is not a compressed image: it begins with a sector's sync pattern," +
                      " as a raw image does",
                  EINVAL);
  }
  if (!OpenLocked(sideFile_, &sideFd_, &sideSize_)) return false;
  return ParseSideFile();
}

bool CompressedReader::OpenWritten(const std::string& dataPath, const std::string& sidePath,
                                   CompressionMode mode) {
  dataFile_ = dataPath;
  sideFile_ = sidePath;
  mode_ = mode;
  return OpenLocked(dataPath, &dataFd_, &dataSize_, false) &&
         OpenLocked(sidePath, &sideFd_, &sideSize_, false) && ParseSideFile();
}

bool CompressedReader::ParseSideFile() {
  const CompressedKind& kind = Kind();
  // The count comes from the size alone, so a huge or sparse side file is refused unread.
  const uint64_t maxBlocks = (MAX_DISC_SECTORS + kind.sectorsPerBlock - 1) / kind.sectorsPerBlock;
  if (kind.closingOffset && sideSize_ < 8) {
    return RefuseSideFile(sideFile_ + " is too short to describe a block");
  }
  const uint64_t count =
      kind.closingOffset ? sideSize_ / kind.entrySize - 1 : sideSize_ / kind.entrySize;
  if (count > maxBlocks) {
    return RefuseSideFile(sideFile_ + " describes " + std::to_string(count) +
                              " blocks, more than a 99:59:74 disc holds (" +
                              std::to_string(maxBlocks) + ")",
                          EFBIG);
  }
  if (count > dataSize_) {
    return RefuseSideFile(sideFile_ + " describes " + std::to_string(count) +
                          " blocks, more than " + dataFile_ + " has bytes for");
  }
  const size_t tableBytes = static_cast<size_t>(sideSize_);
  size_t got = 0;
  std::vector<uint8_t> table(tableBytes);
  errno = 0;
  if (!ReadFully(sideFd_, 0, table.data(), tableBytes, &got)) {
    const int error = errno != 0 ? errno : EIO;
    return Refuse("cannot read " + sideFile_ + ": " + std::strerror(error), error);
  }
  if (got != tableBytes) {
    return Refuse("cannot read " + sideFile_ + ": it shrank to " + std::to_string(got) +
                      " bytes from " + std::to_string(tableBytes) + " while it was read",
                  EIO);
  }
  entries_.resize(count);
  const uint32_t largest = 2 * kind.rawBlockLength;
  for (uint32_t i = 0; i < count; ++i) {
    BlockEntry& e = entries_[i];
    const uint8_t* entry = table.data() + size_t{i} * kind.entrySize;
    DecodeBlockEntry(entry, mode_, &e.offset, &e.length, &e.tag);
    const std::string block = "block " + std::to_string(i) + " of " + sideFile_;
    if (kind.closingOffset) {
      const uint32_t next = GetU32(entry + kind.entrySize + ENTRY_OFFSET_AT);
      if (next < e.offset) return RefuseSideFile(block + ": its offsets go backwards");
      e.length = next - e.offset;
    }
    if (e.length == 0) return RefuseSideFile(block + ": its stored length is 0");
    if (e.length > largest) {
      return RefuseSideFile(block + ": stored length " + std::to_string(e.length) +
                            " is larger than a block");
    }
    if (uint64_t{e.offset} + e.length > dataSize_) {
      return RefuseSideFile("block " + std::to_string(i) + " lies beyond the end of " + dataFile_);
    }
  }
  return true;
}

bool CompressedReader::ReadBlock(uint32_t i, uint8_t* out) {
  const BlockEntry& e = entries_[i];
  if (e.offset < windowStart_ || e.offset + uint64_t{e.length} > windowStart_ + windowLength_) {
    // A small data file needs no more room than itself.
    window_.resize(static_cast<size_t>(std::min<uint64_t>(READ_AHEAD, dataSize_)));
    windowStart_ = e.offset;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(READ_AHEAD, dataSize_ - e.offset));
    errno = 0;
    if (!ReadFully(dataFd_, windowStart_, window_.data(), want, &windowLength_)) {
      errno_ = errno;
      windowLength_ = 0;
      return false;
    }
    if (windowLength_ < e.length) {
      errno_ = EIO;  // the file shrank under us
      return false;
    }
  }
  std::memcpy(out, window_.data() + (e.offset - windowStart_), e.length);
  return true;
}

bool CompressedReader::ReadAt(uint64_t offset, uint8_t* out, size_t length) {
  size_t got = 0;
  errno = 0;
  if (!ReadFully(dataFd_, offset, out, length, &got)) {
    errno_ = errno;
    return false;
  }
  return got == length;
}

bool CompressedReader::DecodeBlock(BlockDecompressor& codec, const uint8_t* stored, uint32_t length,
                                   uint8_t* out, size_t* produced) const {
  const size_t room = Kind().rawBlockLength;
  return Kind().codec == BlockCodec::Bzip2 ? codec.Bzip2(stored, length, out, room, produced)
                                           : codec.Zlib(stored, length, out, room, produced);
}

}  // namespace quarnel
