#include "packing/flac_tracks.h"

#include <FLAC/format.h>
#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "common/checksums.h"

namespace quarnel {

namespace {

constexpr uint32_t SAMPLE_RATE = 44100;
constexpr uint64_t FRAME_BYTES = 4;              // one stereo frame of two 16-bit samples
constexpr size_t READ_FRAMES = size_t{1} << 17;  // 512 KiB of the source per piece
constexpr size_t DECODE_BUFFER = size_t{1} << 20;
constexpr size_t MAX_FLAC_BLOCK_FRAMES = 65535;  // the largest block size a FLAC frame may have
constexpr uint32_t SEEK_POINT_FRAMES = 10 * SAMPLE_RATE;
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);
constexpr size_t MAX_NAME_BYTES = 255;
// Our tags take a few hundred bytes; a larger comment block is someone else's file.
constexpr uint32_t MAX_COMMENT_BLOCK = uint32_t{1} << 20;
constexpr int MAX_METADATA_BLOCKS = 1024;
constexpr size_t MAX_CAPTURED_HEAD = size_t{1} << 16;

// Metadata block types and the STREAMINFO body's size.
constexpr int STREAMINFO_BLOCK = 0;
constexpr int VORBIS_COMMENT_BLOCK = 4;
constexpr int INVALID_BLOCK = 127;
constexpr uint32_t STREAMINFO_SIZE = 34;

constexpr const char* TAG_FILE = "QUARNEL_FILE";
constexpr const char* TAG_OFFSET = "QUARNEL_OFFSET";
constexpr const char* TAG_LENGTH = "QUARNEL_LENGTH";
constexpr const char* TAG_TAIL = "QUARNEL_TAIL";
constexpr const char* TAG_SHA1 = "QUARNEL_SHA1";
constexpr const char* TAG_CRC = "QUARNEL_TAGS_CRC32";

using Clock = std::chrono::steady_clock;

std::string ErrnoText(int error) {
  return std::strerror(error != 0 ? error : EIO);
}

class Digest {
 public:
  explicit Digest(const EVP_MD* kind) : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr || !EVP_DigestInit_ex(context_, kind, nullptr)) {
      EVP_MD_CTX_free(context_);
      throw std::bad_alloc();
    }
  }
  ~Digest() { EVP_MD_CTX_free(context_); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  void Update(const void* data, size_t size) { EVP_DigestUpdate(context_, data, size); }
  std::string Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest, &length);
    return HexString(digest, length);
  }

 private:
  EVP_MD_CTX* context_;
};

std::string TailHex(const std::string& tail) {
  return HexString(reinterpret_cast<const unsigned char*>(tail.data()), tail.size());
}

std::string TagsCrc(const FlacRange& r) {
  const std::string text = r.file + '\n' + std::to_string(r.offset) + '\n' +
                           std::to_string(r.length) + '\n' + TailHex(r.tail) + '\n' + r.sha1 + '\n';
  const uLong crc =
      crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(text.data()), uInt(text.size()));
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(crc));
  return hex;
}

// A name a restore may create beside the others: no folder part, nothing unprintable, UTF-8 as
// Vorbis comments require. Null when fine, else why not.
const char* BadNameReason(const std::string& name) {
  if (name.empty()) return "is empty";
  if (name.size() > MAX_NAME_BYTES) return "is longer than 255 bytes";
  if (name == "." || name == "..") return "is not a file name";
  for (const unsigned char c : name) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) {
      return "holds a path separator or a control character";
    }
  }
  if (!FLAC__format_vorbiscomment_entry_value_is_legal(
          reinterpret_cast<const FLAC__byte*>(name.data()), uint32_t(name.size()))) {
    return "is not UTF-8 text";
  }
  return nullptr;
}

bool RangeEndsInBounds(const FlacRange& r) {
  return r.length < MAX_FLAC_RANGE_END && r.offset < MAX_FLAC_RANGE_END - r.length;
}

// ---- Reading the metadata: "fLaC", then blocks of a 4-byte header (bit 7: last block, bits 0-6:
// type; 24-bit big-endian body length) and a body. STREAMINFO comes first; its body holds, MSB
// first: min/max block size (16+16 bits), min/max frame size (24+24), sample rate (20),
// channels - 1 (3), bits per sample - 1 (5), total samples (36), MD5 (128). A Vorbis comment body
// is little-endian: vendor length (32), vendor, entry count (32), then per entry its length (32)
// and "NAME=value".

using ReadAt = std::function<bool(uint64_t offset, void* to, size_t size)>;

struct Comment {
  std::string name;  // upper case: Vorbis comment names are case-insensitive
  std::string value;
  uint64_t valueOffset;  // in the file
};

struct StreamInfo {
  uint32_t sampleRate, channels, bitsPerSample;
  uint64_t totalSamples;
  uint8_t md5[16];
};

struct Metadata {
  StreamInfo info{};
  std::vector<Comment> comments;
  bool hasComments = false;
};

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

bool ParseComments(const std::vector<uint8_t>& body, uint64_t bodyOffset,
                   std::vector<Comment>* comments) {
  size_t at = 0;
  auto take32 = [&](uint32_t* v) {
    if (body.size() - at < 4) return false;
    *v = Le32(body.data() + at);
    at += 4;
    return true;
  };
  uint32_t vendor = 0, count = 0;
  if (!take32(&vendor) || body.size() - at < vendor) return false;
  at += vendor;
  if (!take32(&count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t length = 0;
    if (!take32(&length) || body.size() - at < length) return false;
    const char* entry = reinterpret_cast<const char*>(body.data() + at);
    const char* equals = static_cast<const char*>(std::memchr(entry, '=', length));
    if (equals == nullptr) return false;
    Comment c;
    c.name.assign(entry, equals);
    for (char& ch : c.name) ch = char(std::toupper(static_cast<unsigned char>(ch)));
    c.value.assign(equals + 1, entry + length);
    c.valueOffset = bodyOffset + at + size_t(equals + 1 - entry);
    comments->push_back(std::move(c));
    at += length;
  }
  return true;
}

StreamInfo ParseStreamInfo(const uint8_t* b) {
  StreamInfo s;
  s.sampleRate = uint32_t(b[10]) << 12 | uint32_t(b[11]) << 4 | b[12] >> 4;
  s.channels = ((b[12] >> 1) & 7) + 1;
  s.bitsPerSample = ((b[12] & 1) << 4 | b[13] >> 4) + 1;
  s.totalSamples = uint64_t(b[13] & 0xF) << 32 | uint64_t(b[14]) << 24 | uint64_t(b[15]) << 16 |
                   uint64_t(b[16]) << 8 | b[17];
  std::memcpy(s.md5, b + 18, sizeof s.md5);
  return s;
}

// Walks the metadata up to the comment block. False with `why` when it is no FLAC or its
// metadata is cut short or malformed.
bool ReadMetadata(const ReadAt& read, Metadata* m, std::string* why) {
  uint8_t head[4];
  if (!read(0, head, 4) || std::memcmp(head, "fLaC", 4) != 0) {
    *why = "it is not a FLAC file";
    return false;
  }
  uint64_t at = 4;
  for (int i = 0; i < MAX_METADATA_BLOCKS; ++i) {
    if (!read(at, head, 4)) {
      *why = "its metadata is cut short";
      return false;
    }
    const int type = head[0] & 0x7F;
    const uint32_t length = uint32_t(head[1]) << 16 | uint32_t(head[2]) << 8 | head[3];
    const uint64_t body = at + 4;
    if ((i == 0) != (type == STREAMINFO_BLOCK) || type == INVALID_BLOCK ||
        (type == STREAMINFO_BLOCK && length != STREAMINFO_SIZE)) {
      *why = "its metadata is malformed";
      return false;
    }
    if (type == STREAMINFO_BLOCK) {
      uint8_t info[STREAMINFO_SIZE];
      if (!read(body, info, sizeof info)) {
        *why = "its metadata is cut short";
        return false;
      }
      m->info = ParseStreamInfo(info);
    } else if (type == VORBIS_COMMENT_BLOCK) {
      if (length > MAX_COMMENT_BLOCK) {
        *why = "its tags take more than 1 MiB";
        return false;
      }
      std::vector<uint8_t> bytes(length);
      if (!read(body, bytes.data(), length)) {
        *why = "its metadata is cut short";
        return false;
      }
      if (!ParseComments(bytes, body, &m->comments)) {
        *why = "its tags are malformed";
        return false;
      }
      m->hasComments = true;
      return true;
    }
    if (head[0] & 0x80) break;
    at = body + length;
  }
  *why = "it has no tags";
  return false;
}

// The one comment named `name`, or null with `why`.
const Comment* FindTag(const std::vector<Comment>& comments, const char* name, std::string* why) {
  const Comment* found = nullptr;
  for (const Comment& c : comments) {
    if (c.name != name) continue;
    if (found != nullptr) {
      *why = std::string("it has two ") + name + " tags";
      return nullptr;
    }
    found = &c;
  }
  if (found == nullptr) *why = std::string("it has no ") + name + " tag";
  return found;
}

bool ParseDecimal(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = unsigned(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

bool ParseHex(const std::string& text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(char(hi << 4 | lo));
  }
  return true;
}

bool RangeFromMetadata(const Metadata& m, FlacRange* r, std::string* why) {
  const Comment *file = nullptr, *offset = nullptr, *length = nullptr, *tail = nullptr,
                *sha1 = nullptr, *crc = nullptr;
  if (!(file = FindTag(m.comments, TAG_FILE, why)) ||
      !(offset = FindTag(m.comments, TAG_OFFSET, why)) ||
      !(length = FindTag(m.comments, TAG_LENGTH, why)) ||
      !(tail = FindTag(m.comments, TAG_TAIL, why)) ||
      !(sha1 = FindTag(m.comments, TAG_SHA1, why)) || !(crc = FindTag(m.comments, TAG_CRC, why))) {
    return false;
  }
  r->file = file->value;
  if (const char* bad = BadNameReason(r->file)) {
    *why = std::string("the file name in its tags ") + bad;
    return false;
  }
  if (!ParseDecimal(offset->value, &r->offset) || !ParseDecimal(length->value, &r->length)) {
    *why = "its offset or length tag is not a number";
    return false;
  }
  if (!RangeEndsInBounds(*r)) {
    *why = "its tags name a range past 256 GiB";
    return false;
  }
  std::string digest;
  if (sha1->value.size() != 40 || !ParseHex(sha1->value, &digest)) {
    *why = "its SHA-1 tag is not 40 hex digits";
    return false;
  }
  r->sha1 = TailHex(digest);  // lower case
  if (!ParseHex(tail->value, &r->tail) || r->tail.size() != r->length % FRAME_BYTES) {
    *why = "its tail tag does not hold the " + std::to_string(r->length % FRAME_BYTES) +
           " bytes past the last whole sample";
    return false;
  }
  if (TagsCrc(*r) != crc->value) {
    *why = "its tags are damaged: their CRC-32 does not match";
    return false;
  }
  const StreamInfo& s = m.info;
  if (s.sampleRate != SAMPLE_RATE || s.channels != 2 || s.bitsPerSample != 16) {
    *why = "its audio is " + std::to_string(s.bitsPerSample) + "-bit, " +
           std::to_string(s.channels) + " channels at " + std::to_string(s.sampleRate) +
           " Hz, not CD audio";
    return false;
  }
  if (s.totalSamples != r->length / FRAME_BYTES) {
    *why = "its stream holds " + std::to_string(s.totalSamples) + " samples where its tags say " +
           std::to_string(r->length / FRAME_BYTES);
    return false;
  }
  return true;
}

bool PreadAll(int fd, uint64_t offset, void* to, size_t size, int* error) {
  auto* p = static_cast<uint8_t*>(to);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : 0;  // 0: the file ends first
      return false;
    }
    p += n;
    offset += uint64_t(n);
    size -= size_t(n);
  }
  return true;
}

// The range a FLAC restores and the MD5 of its samples (hex; all zeros when the encoder left it
// unset).
bool ReadRangeFromFd(int fd, FlacRange* range, std::string* md5, std::string* why) {
  int error = 0;
  const ReadAt read = [&](uint64_t offset, void* to, size_t size) {
    return PreadAll(fd, offset, to, size, &error);
  };
  Metadata m;
  const bool ok = ReadMetadata(read, &m, why) && RangeFromMetadata(m, range, why);
  if (!ok && error != 0) *why = ErrnoText(error);
  *md5 = HexString(m.info.md5, sizeof m.info.md5);
  return ok;
}

// Opens a regular file to read: a FIFO or a device could block or never end. -1 with `why`.
int OpenRegular(const std::string& path, uint64_t* size, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    *why = "cannot open " + path + ": " + ErrnoText(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *why = "cannot open " + path + ": it is not a regular file";
  } else {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *size = uint64_t(st.st_size);
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// ---- Encoding

struct EncoderDeleter {
  void operator()(FLAC__StreamEncoder* e) const { FLAC__stream_encoder_delete(e); }
};
struct MetadataDeleter {
  void operator()(FLAC__StreamMetadata* m) const { FLAC__metadata_object_delete(m); }
};
using MetadataPtr = std::unique_ptr<FLAC__StreamMetadata, MetadataDeleter>;

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

// The FLAC being written, behind libFLAC's stream callbacks.
struct EncodeOutput {
  FILE* file = nullptr;
  int error = 0;              // errno of the first failed write or seek
  bool capturing = false;     // while init writes the metadata
  std::vector<uint8_t> head;  // the metadata as init wrote it: the file's first bytes
};

FLAC__StreamEncoderWriteStatus WriteOutput(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                           size_t bytes, uint32_t, uint32_t, void* data) {
  auto* out = static_cast<EncodeOutput*>(data);
  if (out->capturing) {
    const size_t keep =
        std::min(bytes, MAX_CAPTURED_HEAD - std::min(MAX_CAPTURED_HEAD, out->head.size()));
    out->head.insert(out->head.end(), buffer, buffer + keep);
  }
  errno = 0;
  if (std::fwrite(buffer, 1, bytes, out->file) != bytes) {
    out->error = errno != 0 ? errno : EIO;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
  }
  return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus SeekOutput(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                         void* data) {
  auto* out = static_cast<EncodeOutput*>(data);
  if (::fseeko(out->file, off_t(offset), SEEK_SET) != 0) {
    out->error = errno;
    return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
  }
  return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus TellOutput(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                         void* data) {
  const off_t at = ::ftello(static_cast<EncodeOutput*>(data)->file);
  if (at < 0) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
  *offset = FLAC__uint64(at);
  return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

bool AddTag(FLAC__StreamMetadata* block, const char* name, const std::string& value) {
  FLAC__StreamMetadata_VorbisComment_Entry entry;
  if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, name,
                                                                      value.c_str())) {
    return false;
  }
  if (FLAC__metadata_object_vorbiscomment_append_comment(block, entry, /*copy=*/false)) return true;
  std::free(entry.entry);
  return false;
}

// The tags with placeholders of the final size for what is known only at the end: the tail, the
// SHA-1 and the CRC, written over them once the range has been read.
MetadataPtr BuildTags(const FlacRange& r) {
  MetadataPtr block(FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT));
  if (!block || !AddTag(block.get(), "TITLE", r.file) || !AddTag(block.get(), TAG_FILE, r.file) ||
      !AddTag(block.get(), TAG_OFFSET, std::to_string(r.offset)) ||
      !AddTag(block.get(), TAG_LENGTH, std::to_string(r.length)) ||
      !AddTag(block.get(), TAG_TAIL, std::string(2 * (r.length % FRAME_BYTES), '0')) ||
      !AddTag(block.get(), TAG_SHA1, std::string(40, '0')) ||
      !AddTag(block.get(), TAG_CRC, std::string(8, '0'))) {
    return nullptr;
  }
  return block;
}

// Writes the final tail, SHA-1 and CRC over their placeholders, found in the captured metadata.
bool PatchTags(const EncodeOutput& out, const FlacRange& r, std::string* why) {
  const ReadAt read = [&](uint64_t offset, void* to, size_t size) {
    if (offset > out.head.size() || out.head.size() - offset < size) return false;
    std::memcpy(to, out.head.data() + offset, size);
    return true;
  };
  Metadata m;
  if (!ReadMetadata(read, &m, why)) return false;
  const std::pair<const char*, std::string> values[] = {
      {TAG_TAIL, TailHex(r.tail)}, {TAG_SHA1, r.sha1}, {TAG_CRC, TagsCrc(r)}};
  for (const auto& [name, value] : values) {
    const Comment* c = FindTag(m.comments, name, why);
    if (c == nullptr) return false;
    if (c->value.size() != value.size()) {
      *why = std::string("the placeholder of ") + name + " has the wrong size";
      return false;
    }
    errno = 0;
    if (::fseeko(out.file, off_t(c->valueOffset), SEEK_SET) != 0 ||
        std::fwrite(value.data(), 1, value.size(), out.file) != value.size()) {
      *why = ErrnoText(errno);
      return false;
    }
  }
  return true;
}

std::string EncoderFault(FLAC__StreamEncoder* encoder, const EncodeOutput& out) {
  if (out.error != 0) return ErrnoText(out.error);
  return std::string("libFLAC: ") + FLAC__stream_encoder_get_resolved_state_string(encoder);
}

// One FLAC being written. The members are in the order that lets an encoder deleted before its
// end finish through the file and the metadata.
class FlacWriter {
 public:
  bool Open(const std::string& path, const FlacRange& r, std::string* why) {
    file_.reset(std::fopen(path.c_str(), "wb"));
    if (!file_) {
      *why = "cannot create " + path + ": " + ErrnoText(errno);
      return false;
    }
    out_.file = file_.get();
    std::setvbuf(out_.file, nullptr, _IOFBF, size_t{1} << 18);
    *why = "cannot encode " + path + ": ";
    const uint64_t frames = r.length / FRAME_BYTES;
    tags_ = BuildTags(r);
    if (frames > 0) {
      seekTable_.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE));
      if (!seekTable_ ||
          !FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
              seekTable_.get(), SEEK_POINT_FRAMES, frames) ||
          !FLAC__metadata_object_seektable_template_sort(seekTable_.get(), /*compact=*/true)) {
        *why += "out of memory";
        return false;
      }
    }
    encoder_.reset(FLAC__stream_encoder_new());
    if (!encoder_ || !tags_) {
      *why += "out of memory";
      return false;
    }
    FLAC__StreamMetadata* blocks[] = {tags_.get(), seekTable_.get()};
    FLAC__StreamEncoder* e = encoder_.get();
    FLAC__stream_encoder_set_channels(e, 2);
    FLAC__stream_encoder_set_bits_per_sample(e, 16);
    FLAC__stream_encoder_set_sample_rate(e, SAMPLE_RATE);
    FLAC__stream_encoder_set_compression_level(e, 5);
    FLAC__stream_encoder_set_total_samples_estimate(e, frames);
    FLAC__stream_encoder_set_metadata(e, blocks, seekTable_ ? 2 : 1);
    out_.capturing = true;
    const FLAC__StreamEncoderInitStatus init =
        FLAC__stream_encoder_init_stream(e, WriteOutput, SeekOutput, TellOutput, nullptr, &out_);
    out_.capturing = false;
    if (init == FLAC__STREAM_ENCODER_INIT_STATUS_OK) return true;
    *why += init == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR
                ? EncoderFault(e, out_)
                : std::string("libFLAC: ") + FLAC__StreamEncoderInitStatusString[init];
    return false;
  }

  // Encodes the whole stereo frames of `bytes` (16-bit little-endian).
  bool Write(const uint8_t* bytes, size_t frames, std::string* why) {
    samples_.resize(std::max(samples_.size(), 2 * frames));
    for (size_t i = 0; i < 2 * frames; ++i) {
      samples_[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    if (frames == 0 || FLAC__stream_encoder_process_interleaved(encoder_.get(), samples_.data(),
                                                                uint32_t(frames))) {
      return true;
    }
    *why = EncoderFault(encoder_.get(), out_);
    return false;
  }

  // Ends the stream, writes the tags known only now and closes the file; its size in `bytes`.
  bool Finish(const FlacRange& r, uint64_t* bytes, std::string* why) {
    if (!FLAC__stream_encoder_finish(encoder_.get())) {
      *why = EncoderFault(encoder_.get(), out_);
      return false;
    }
    if (!PatchTags(out_, r, why)) return false;
    errno = 0;
    const off_t end = ::fseeko(out_.file, 0, SEEK_END) == 0 ? ::ftello(out_.file) : -1;
    if (end < 0 || std::fclose(file_.release()) != 0) {
      *why = ErrnoText(errno);
      return false;
    }
    *bytes = uint64_t(end);
    return true;
  }

 private:
  EncodeOutput out_;
  FilePtr file_;
  MetadataPtr tags_;
  MetadataPtr seekTable_;
  std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter> encoder_;
  std::vector<FLAC__int32> samples_;
};

std::string SourceTooShort(const FlacJob& job) {
  return job.source + " ends before byte " + std::to_string(job.range.offset + job.range.length) +
         ", the end of the range to encode";
}

// Reads `size` bytes at `offset` of the source, whole: false with `why` on a fault or early end.
bool ReadSource(int fd, const FlacJob& job, uint64_t offset, uint8_t* to, size_t size,
                std::string* why) {
  int error = 0;
  if (PreadAll(fd, offset, to, size, &error)) return true;
  *why = error != 0 ? "cannot read " + job.source + ": " + ErrnoText(error) : SourceTooShort(job);
  return false;
}

FlacResult EncodeJob(FlacJob& job, const std::atomic<bool>& stop) {
  FlacResult result;
  FlacRange& r = job.range;
  r.sha1.clear();
  r.tail.clear();
  std::string why;
  auto fail = [&](const std::string& error) {
    result.error = error;
    return result;
  };
  if (const char* bad = BadNameReason(r.file)) {
    return fail("cannot encode " + job.flacPath + ": the file name \"" + r.file + "\" " + bad);
  }
  if (!RangeEndsInBounds(r)) {
    return fail("cannot encode " + job.flacPath + ": the range ends past 256 GiB");
  }
  uint64_t sourceSize = 0;
  const Fd source(OpenRegular(job.source, &sourceSize, &why));
  if (source.Get() < 0) return fail(why);
  if (sourceSize < r.offset + r.length) return fail(SourceTooShort(job));
  ::posix_fadvise(source.Get(), off_t(r.offset), off_t(r.length), POSIX_FADV_SEQUENTIAL);
  FlacWriter writer;
  if (!writer.Open(job.flacPath, r, &why)) return fail(why);

  Digest sha1(EVP_sha1());
  std::vector<uint8_t> bytes(READ_FRAMES * FRAME_BYTES);
  for (uint64_t done = 0; done < r.length;) {
    if (stop.load(std::memory_order_relaxed)) {
      result.stopped = true;
      return fail("encoding " + job.flacPath + " was stopped");
    }
    const size_t size = size_t(std::min<uint64_t>(bytes.size(), r.length - done));
    if (!ReadSource(source.Get(), job, r.offset + done, bytes.data(), size, &why)) return fail(why);
    sha1.Update(bytes.data(), size);
    const size_t whole = size - size % FRAME_BYTES;
    if (!writer.Write(bytes.data(), whole / FRAME_BYTES, &why)) {
      return fail("cannot write " + job.flacPath + ": " + why);
    }
    done += size;
    if (done == r.length)
      r.tail.assign(reinterpret_cast<const char*>(bytes.data()) + whole, size - whole);
  }
  r.sha1 = sha1.Hex();
  if (!writer.Finish(r, &result.flacBytes, &why)) {
    return fail("cannot write " + job.flacPath + ": " + why);
  }
  result.ok = true;
  return result;
}

// ---- Decoding

struct DecoderDeleter {
  void operator()(FLAC__StreamDecoder* d) const { FLAC__stream_decoder_delete(d); }
};

// MD5 and SHA-1 of the restored bytes, computed on a thread of their own while the next piece
// decodes: together they cost about half as much as the decoding itself.
class Hasher {
 public:
  Hasher() {
    try {
      thread_ = std::thread(&Hasher::Run, this);
    } catch (const std::system_error&) {
      // No thread: Submit hashes in the caller's.
    }
  }
  ~Hasher() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  // Hashes `size` bytes at `data` into both digests; they must stay unchanged until the next
  // Submit or Wait returns.
  void Submit(const uint8_t* data, size_t size) {
    if (!thread_.joinable()) return Hash(data, size);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
    data_ = data;
    size_ = size;
    changed_.notify_all();
  }
  // Waits until every submitted byte is hashed; the digests are the caller's again after.
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
  }

  Digest md5{EVP_md5()};  // of the samples
  Digest sha1{EVP_sha1()};

 private:
  void Hash(const uint8_t* data, size_t size) {
    md5.Update(data, size);
    sha1.Update(data, size);
  }
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return data_ != nullptr || quit_; });
      if (data_ == nullptr) return;
      lock.unlock();
      Hash(data_, size_);
      lock.lock();
      data_ = nullptr;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const uint8_t* data_ = nullptr;  // guarded by mutex_: the piece being hashed
  size_t size_ = 0;
  bool quit_ = false;
  std::thread thread_;
};

struct DecodeState {
  FILE* file = nullptr;
  const std::function<bool(const uint8_t*, size_t)>* sink = nullptr;
  const std::function<bool()>* poll = nullptr;
  Clock::time_point lastPoll{};  // long ago: the first read polls
  uint64_t expected = 0;         // bytes of whole frames the tags promise
  uint64_t done = 0;             // bytes decoded so far
  // Two buffers: one fills while the hasher reads the other.
  std::vector<uint8_t> buffers[2];
  int current = 0;
  size_t fill = 0;
  std::string fault;  // the first reason to give up; empty while all is well
  bool stopped = false;
  Hasher hasher;

  bool Poll() {
    if (!*poll) return true;
    const auto now = Clock::now();
    if (now - lastPoll < POLL_INTERVAL) return true;
    lastPoll = now;
    if (!(*poll)()) return true;
    stopped = true;
    return false;
  }

  bool Sink(const uint8_t* data, size_t size) {
    if (!*sink || size == 0 || (*sink)(data, size)) return true;
    if (fault.empty()) fault = "the restored bytes could not be written";
    return false;
  }

  // Hands the filled buffer to the sink and the hasher, and starts on the other one.
  bool Flush() {
    const uint8_t* data = buffers[current].data();
    const size_t size = fill;
    fill = 0;
    current ^= 1;
    if (!Sink(data, size)) return false;
    hasher.Submit(data, size);
    return Poll();
  }
};

FLAC__StreamDecoderReadStatus ReadInput(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                        size_t* bytes, void* data) {
  auto* s = static_cast<DecodeState*>(data);
  if (!s->Poll()) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  errno = 0;
  *bytes = std::fread(buffer, 1, *bytes, s->file);
  if (*bytes > 0) return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
  if (std::ferror(s->file)) {
    if (s->fault.empty()) s->fault = ErrnoText(errno);
    return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  }
  return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

FLAC__bool InputEnded(const FLAC__StreamDecoder*, void* data) {
  return std::feof(static_cast<DecodeState*>(data)->file) != 0;
}

FLAC__StreamDecoderWriteStatus WriteDecoded(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                            const FLAC__int32* const channels[], void* data) {
  auto* s = static_cast<DecodeState*>(data);
  if (!s->fault.empty()) return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  const FLAC__FrameHeader& h = frame->header;
  if (h.channels != 2 || h.bits_per_sample != 16 || h.sample_rate != SAMPLE_RATE) {
    s->fault = "a frame of its audio is not CD audio";
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  const size_t size = size_t(h.blocksize) * FRAME_BYTES;
  if (s->expected - s->done < size) {
    s->fault = "it holds more audio than its tags say";
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  if (s->buffers[s->current].size() - s->fill < size && !s->Flush()) {
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  uint8_t* out = s->buffers[s->current].data() + s->fill;
  const FLAC__int32* left = channels[0];
  const FLAC__int32* right = channels[1];
  for (uint32_t i = 0; i < h.blocksize; ++i) {
    const auto l = uint16_t(left[i]), r = uint16_t(right[i]);
    out[4 * i] = uint8_t(l);
    out[4 * i + 1] = uint8_t(l >> 8);
    out[4 * i + 2] = uint8_t(r);
    out[4 * i + 3] = uint8_t(r >> 8);
  }
  s->fill += size;
  s->done += size;
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void DecodeError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* data) {
  auto* s = static_cast<DecodeState*>(data);
  if (!s->fault.empty()) return;
  switch (status) {
    case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH:
      s->fault = "a frame of its audio fails its CRC";
      break;
    case FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER:
      s->fault = "a frame header of its audio is damaged";
      break;
    case FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC:
      s->fault = std::feof(s->file) ? "its last frame is damaged or cut short"
                                    : "its audio is damaged: the decoder lost its place in it";
      break;
    default:
      s->fault = "its audio cannot be parsed";
      break;
  }
}

// Decodes the whole stream through `s`; false with s.fault or s.stopped set. The MD5 is checked
// here rather than by libFLAC, so that it is computed beside the decoding.
bool Decode(const FlacRange& tags, const std::string& md5, DecodeState& s) {
  const std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter> decoder(FLAC__stream_decoder_new());
  if (!decoder) {
    s.fault = "out of memory";
    return false;
  }
  FLAC__StreamDecoder* d = decoder.get();
  s.expected = tags.length - tags.length % FRAME_BYTES;
  for (auto& buffer : s.buffers) {
    buffer.resize(std::max(DECODE_BUFFER, MAX_FLAC_BLOCK_FRAMES * FRAME_BYTES));
  }
  if (FLAC__stream_decoder_init_stream(d, ReadInput, nullptr, nullptr, nullptr, InputEnded,
                                       WriteDecoded, nullptr, DecodeError,
                                       &s) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
    s.fault = "the decoder cannot start";
    return false;
  }
  const bool decoded = FLAC__stream_decoder_process_until_end_of_stream(d);
  if (s.stopped || !s.fault.empty()) return false;
  if (!decoded || FLAC__stream_decoder_get_state(d) != FLAC__STREAM_DECODER_END_OF_STREAM) {
    s.fault = std::string("libFLAC: ") + FLAC__stream_decoder_get_resolved_state_string(d);
    return false;
  }
  if (!s.Flush()) return false;
  s.hasher.Wait();
  if (s.done != s.expected) {
    s.fault = "it is cut short: its audio ends after " + std::to_string(s.done) + " of " +
              std::to_string(s.expected) + " bytes";
    return false;
  }
  if (md5 != std::string(32, '0') && s.hasher.md5.Hex() != md5) {
    s.fault = "its audio does not match the MD5 in its header";
    return false;
  }
  const auto* tail = reinterpret_cast<const uint8_t*>(tags.tail.data());
  s.hasher.sha1.Update(tail, tags.tail.size());
  if (s.hasher.sha1.Hex() != tags.sha1) {
    s.fault = "the restored bytes do not match the SHA-1 in its tags";
    return false;
  }
  return s.Sink(tail, tags.tail.size());
}

}  // namespace

std::vector<FlacResult> EncodeFlacs(std::vector<FlacJob>& jobs, unsigned threads,
                                    const std::function<bool()>& poll,
                                    const std::function<void(size_t job)>& finished) {
  std::vector<FlacResult> results(jobs.size());
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t wanted =
      std::min<size_t>(threads == 0 ? cores : std::min(threads, cores), jobs.size());

  // Longest first, so that the last job to start is a short one and the cores end together.
  std::vector<size_t> order(jobs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return jobs[a].range.length > jobs[b].range.length; });

  std::mutex mutex;
  std::condition_variable ended;
  std::atomic<bool> stop{false};
  size_t next = 0, running = 0;   // next: the next place in `order` to start
  std::vector<size_t> endedJobs;  // guarded by mutex, handed to `finished` by the calling thread
  auto work = [&] {
    for (;;) {
      size_t i;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (next == jobs.size() || stop) break;
        i = order[next++];
      }
      FlacResult result;
      try {
        result = EncodeJob(jobs[i], stop);
      } catch (const std::bad_alloc&) {
        result.error = "cannot encode " + jobs[i].flacPath + ": out of memory";
      }
      std::lock_guard<std::mutex> lock(mutex);
      results[i] = std::move(result);
      endedJobs.push_back(i);
      ended.notify_one();
    }
    std::lock_guard<std::mutex> lock(mutex);
    --running;
    ended.notify_one();
  };

  // Joins the workers however this function ends, a throwing callback included.
  struct Workers {
    std::vector<std::thread> threads;
    std::atomic<bool>& stop;
    ~Workers() {
      stop = true;
      for (std::thread& t : threads) t.join();
    }
  } workers{{}, stop};
  std::string threadError;
  for (size_t t = 0; t < wanted; ++t) {
    try {
      std::lock_guard<std::mutex> lock(mutex);
      workers.threads.emplace_back(work);
      ++running;
    } catch (const std::system_error& e) {
      threadError = e.what();
      break;
    }
  }

  std::unique_lock<std::mutex> lock(mutex);
  while (running > 0 || !endedJobs.empty()) {
    lock.unlock();
    if (poll && !stop && poll()) stop = true;
    lock.lock();
    ended.wait_for(lock, POLL_INTERVAL, [&] { return !endedJobs.empty() || running == 0; });
    const std::vector<size_t> now = std::move(endedJobs);
    endedJobs.clear();
    lock.unlock();
    if (finished) {
      for (const size_t i : now) finished(i);
    }
    lock.lock();
  }
  for (; next < jobs.size(); ++next) {
    const size_t i = order[next];
    results[i].stopped = stop;
    results[i].error =
        stop ? "encoding " + jobs[i].flacPath + " was stopped before it began"
             : "cannot encode " + jobs[i].flacPath + ": no thread to run it (" + threadError + ")";
  }
  return results;
}

bool ReadFlacRange(const std::string& flacPath, FlacRange* range, std::string* error) {
  uint64_t size = 0;
  std::string md5, why;
  const Fd fd(OpenRegular(flacPath, &size, &why));
  if (fd.Get() < 0) {
    *error = why;
    return false;
  }
  FlacRange r;
  if (!ReadRangeFromFd(fd.Get(), &r, &md5, &why)) {
    *error = "cannot restore from " + flacPath + ": " + why;
    return false;
  }
  *range = std::move(r);
  return true;
}

bool DecodeFlac(const std::string& flacPath, FlacRange* range,
                const std::function<bool(const uint8_t*, size_t)>& sink,
                const std::function<bool()>& poll, std::string* error) {
  uint64_t size = 0;
  std::string md5, why;
  const int fd = OpenRegular(flacPath, &size, &why);
  const FilePtr file(fd >= 0 ? ::fdopen(fd, "rb") : nullptr);
  if (!file) {
    *error = fd >= 0 ? "cannot open " + flacPath + ": " + ErrnoText(errno) : why;
    if (fd >= 0) ::close(fd);
    return false;
  }
  std::setvbuf(file.get(), nullptr, _IOFBF, size_t{1} << 18);
  FlacRange tags;
  // The tags come from the same open file the decoder reads, so both see the same bytes.
  if (!ReadRangeFromFd(::fileno(file.get()), &tags, &md5, &why)) {
    *error = "cannot restore from " + flacPath + ": " + why;
    return false;
  }
  DecodeState state;
  state.file = file.get();
  state.sink = &sink;
  state.poll = &poll;
  if (!Decode(tags, md5, state)) {
    *error = state.stopped ? "restoring from " + flacPath + " was stopped"
                           : "cannot restore from " + flacPath + ": " + state.fault;
    return false;
  }
  if (range) *range = std::move(tags);
  return true;
}

}  // namespace quarnel
