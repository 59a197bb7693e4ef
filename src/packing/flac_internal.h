// What the FLAC track files share (flac_tags.cpp, flac_encode.cpp and flac_decode.cpp): CD
// audio's shape, the digests they take, and the tag layout that flac_tracks.h describes. Not for
// use outside them.
#pragma once

#include <FLAC/metadata.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/checksums.h"
#include "packing/flac_tracks.h"
#include "packing/regular_files.h"

namespace quarnel::flac {

constexpr uint32_t SAMPLE_RATE = 44100;
constexpr uint64_t FRAME_BYTES = 4;  // one stereo frame of two 16-bit samples
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);

// ---- Files (OpenRegular and PreadAll are in regular_files.h)

// errno's text; EIO's for 0, which a short read or write leaves.
inline std::string ErrnoText(int error) {
  return std::strerror(error != 0 ? error : EIO);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// ---- Digests: the parts of Checksums (UpdatePart) the FLAC code feeds

constexpr size_t MD5_PART = Checksums::MD5_PART;  // of the samples, as STREAMINFO gives it
constexpr size_t SHA1_PART = Checksums::SHA1_PART;

// ---- Tags (flac_tags.cpp)

// A name a restore may create beside the others (BadFileNameReason), in UTF-8 as Vorbis comments
// require. Null when fine, else why not.
const char* BadNameReason(const std::string& name);

bool RangeEndsInBounds(const FlacRange& r);
// MAX_FLAC_RANGE_END as the messages state it ("1 TiB").
std::string RangeLimitText();

struct MetadataDeleter {
  void operator()(FLAC__StreamMetadata* m) const { FLAC__metadata_object_delete(m); }
};
using MetadataPtr = std::unique_ptr<FLAC__StreamMetadata, MetadataDeleter>;

// The tags with placeholders of the final size for what is known only at the end: the tail, the
// SHA-1 and the CRC, written over them once the range has been read.
MetadataPtr BuildTags(const FlacRange& r);

// Writes the final tail, SHA-1 and CRC of `r` into `file` over their placeholders, found in
// `head`: the file's first bytes, its metadata as the encoder wrote it.
bool PatchTags(const std::vector<uint8_t>& head, FILE* file, const FlacRange& r, std::string* why);

// The range a FLAC restores and the MD5 of its samples (hex; all zeros when the encoder left it
// unset). False with `why` when its tags or stream format are not ours.
bool ReadRangeFromFd(int fd, FlacRange* range, std::string* md5, std::string* why);

}  // namespace quarnel::flac
