// CD audio kept losslessly beside a compressed image: one FLAC per byte range of an original file
// (a track file, or the audio behind the data track of a single image), from which the range comes
// back byte for byte.
//
// The FLAC is an ordinary one (16-bit stereo 44100 Hz, STREAMINFO with sample count and MD5, a
// seek table, compression level 5) whose Vorbis comments record what it restores:
//
//   TITLE=<file>                 for players only; never read back
//   QUARNEL_FILE=<file>          the original file's base name
//   QUARNEL_OFFSET=<decimal>     where the range starts in that file
//   QUARNEL_LENGTH=<decimal>     its length in bytes; the samples hold length / 4 stereo frames
//   QUARNEL_TAIL=<hex>           the length % 4 bytes past the last whole frame (empty when none)
//   QUARNEL_SHA1=<40 hex>        SHA-1 of the range's bytes
//   QUARNEL_TAGS_CRC32=<8 hex>   CRC-32 of the five values above, each followed by '\n', so that
//                                a damaged name or offset is refused and not restored elsewhere
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quarnel {

// What one FLAC restores.
struct FlacRange {
  std::string file;  // the original file's base name
  uint64_t offset = 0;
  uint64_t length = 0;
  std::string sha1;  // lowercase hex of the range's bytes
  std::string tail;  // the 0 to 3 bytes past the last whole stereo frame
};

// Ranges past this are refused when read: a CD image is below 1 GiB.
constexpr uint64_t MAX_FLAC_RANGE_END = uint64_t{1} << 40;

// Encode `source`'s range [offset, offset + length) into a new FLAC at `flacPath`.
struct FlacJob {
  std::string source;
  FlacRange range;  // file, offset and length given; sha1 and tail filled by EncodeFlacs
  std::string flacPath;
};

struct FlacResult {
  bool ok = false;
  bool stopped = false;  // ended by poll, not by a fault
  std::string error;     // one sentence naming the file and the cause
  uint64_t flacBytes = 0;
};

// Encodes every job, up to `threads` at once (0: two per core), longest range first, each reading
// its range in pieces. The calling thread calls `poll` at least every 20 ms and `finished(job)`
// after each job ends, in the order they end; poll returning true stops every job as soon as
// possible (unfinished outputs are left for the caller to discard). Returns one result per job,
// in job order.
std::vector<FlacResult> EncodeFlacs(std::vector<FlacJob>& jobs, unsigned threads,
                                    const std::function<bool()>& poll,
                                    const std::function<void(size_t job)>& finished);

// Reads a FLAC's tags and stream format only. False with `error` (the cause alone: the caller names
// the file) when it cannot be read, is no FLAC, not 16-bit stereo 44100 Hz, or its tags are
// missing, malformed, out of bounds or fail their CRC.
bool ReadFlacRange(const std::string& flacPath, FlacRange* range, std::string* error);

// Decodes a FLAC whole and checks it: the frames' CRCs, the stream's MD5, and that the decoded
// bytes plus the tail have exactly the tagged length and SHA-1; false with `error`, the cause
// alone (the caller names the file). `sink` (may be empty) receives the restored bytes in order,
// the tail last; its false return ends with failure. `poll` (called at
// least every 20 ms) returning true ends it too, setting `*stopped` (may be null): a stop, not
// damage. On success `range` (may be null) receives the tags.
bool DecodeFlac(const std::string& flacPath, FlacRange* range,
                const std::function<bool(const uint8_t*, size_t)>& sink,
                const std::function<bool()>& poll, std::string* error, bool* stopped = nullptr);

}  // namespace quarnel
