// The tags of a FLAC track (their layout is in flac_tracks.h): written with placeholders, patched
// once the range is read, and read back and checked before anything is restored.
#include <FLAC/format.h>
#include <FLAC/metadata.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "common/checksums.h"
#include "packing/flac_internal.h"
#include "packing/flac_tracks.h"
#include "packing/text_fields.h"

namespace quarnel {

namespace flac {

namespace {

// Our tags take a few hundred bytes; a larger comment block is someone else's file.
constexpr uint32_t MAX_COMMENT_BLOCK = uint32_t{1} << 20;
constexpr int MAX_METADATA_BLOCKS = 1024;

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

// The range the tags name, every value checked and the CRC over them last.
bool RangeFromTags(const std::vector<Comment>& comments, FlacRange* r, std::string* why) {
  const Comment *file = nullptr, *offset = nullptr, *length = nullptr, *tail = nullptr,
                *sha1 = nullptr, *crc = nullptr;
  if (!(file = FindTag(comments, TAG_FILE, why)) ||
      !(offset = FindTag(comments, TAG_OFFSET, why)) ||
      !(length = FindTag(comments, TAG_LENGTH, why)) ||
      !(tail = FindTag(comments, TAG_TAIL, why)) || !(sha1 = FindTag(comments, TAG_SHA1, why)) ||
      !(crc = FindTag(comments, TAG_CRC, why))) {
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
    *why = "its tags name a range past " + RangeLimitText();
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
  return true;
}

// The stream must be CD audio holding exactly the whole frames of the tagged range.
bool StreamFitsRange(const StreamInfo& s, const FlacRange& r, std::string* why) {
  if (s.sampleRate != SAMPLE_RATE || s.channels != 2 || s.bitsPerSample != 16) {
    *why = "its audio is " + std::to_string(s.bitsPerSample) + "-bit, " +
           std::to_string(s.channels) + " channels at " + std::to_string(s.sampleRate) +
           " Hz, not CD audio";
    return false;
  }
  if (s.totalSamples != r.length / FRAME_BYTES) {
    *why = "its stream holds " + std::to_string(s.totalSamples) + " samples where its tags say " +
           std::to_string(r.length / FRAME_BYTES);
    return false;
  }
  return true;
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

}  // namespace

const char* BadNameReason(const std::string& name) {
  if (const char* bad = BadFileNameReason(name)) return bad;
  if (!FLAC__format_vorbiscomment_entry_value_is_legal(
          reinterpret_cast<const FLAC__byte*>(name.data()), uint32_t(name.size()))) {
    return "is not UTF-8 text";
  }
  return nullptr;
}

bool RangeEndsInBounds(const FlacRange& r) {
  return r.length < MAX_FLAC_RANGE_END && r.offset < MAX_FLAC_RANGE_END - r.length;
}

std::string RangeLimitText() {
  constexpr uint64_t GIB = uint64_t{1} << 30;
  static_assert(MAX_FLAC_RANGE_END % GIB == 0, "the limit is stated in whole GiB");
  const uint64_t gib = MAX_FLAC_RANGE_END / GIB;
  return gib % 1024 == 0 ? std::to_string(gib / 1024) + " TiB" : std::to_string(gib) + " GiB";
}

bool ReadRangeFromFd(int fd, FlacRange* range, std::string* md5, std::string* why) {
  int error = 0;
  const ReadAt read = [&](uint64_t offset, void* to, size_t size) {
    return PreadAll(fd, offset, to, size, &error);
  };
  Metadata m;
  const bool ok = ReadMetadata(read, &m, why) && RangeFromTags(m.comments, range, why) &&
                  StreamFitsRange(m.info, *range, why);
  if (!ok && error != 0) *why = ErrnoText(error);
  *md5 = HexString(m.info.md5, sizeof m.info.md5);
  return ok;
}

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

bool PatchTags(const std::vector<uint8_t>& head, FILE* file, const FlacRange& r, std::string* why) {
  const ReadAt read = [&](uint64_t offset, void* to, size_t size) {
    if (offset > head.size() || head.size() - offset < size) return false;
    std::memcpy(to, head.data() + offset, size);
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
    if (::fseeko(file, off_t(c->valueOffset), SEEK_SET) != 0 ||
        std::fwrite(value.data(), 1, value.size(), file) != value.size()) {
      *why = ErrnoText(errno);
      return false;
    }
  }
  return true;
}

}  // namespace flac

bool ReadFlacRange(const std::string& flacPath, FlacRange* range, std::string* error) {
  std::string md5;
  const flac::Fd fd(OpenRegular(flacPath, nullptr, error));
  FlacRange r;
  if (fd.Get() < 0 || !flac::ReadRangeFromFd(fd.Get(), &r, &md5, error)) return false;
  *range = std::move(r);
  return true;
}

}  // namespace quarnel
