#include "packing/sound_check.h"

#include <mpg123.h>

#include <cstring>
#include <memory>

#include "packing/compressed_format.h"

namespace quarnel {

namespace {

bool Refuse(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

// One MPEG audio frame header, as far as walking the stream needs it.
struct Frame {
  uint32_t length = 0;   // header included
  uint32_t samples = 0;  // per channel
  uint32_t rate = 0;
  uint32_t channels = 0;
  uint32_t version = 0;  // the header's version bits: 0 MPEG 2.5, 2 MPEG 2, 3 MPEG 1
  uint32_t layer = 0;    // 1, 2 or 3
};

// False for anything that is not a complete header: no sync, reserved values, free format (whose
// length the header does not give).
bool ParseFrame(const uint8_t* p, Frame& f) {
  static const uint16_t kbps[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static const uint32_t rates[3] = {44100, 48000, 32000};
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  f.version = (p[1] >> 3) & 3;
  f.layer = 4 - ((p[1] >> 1) & 3);
  const uint32_t bitrateIndex = p[2] >> 4, rateIndex = (p[2] >> 2) & 3, padding = (p[2] >> 1) & 1;
  if (f.version == 1 || f.layer == 4 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 ||
      (p[3] & 3) == 2) {
    return false;
  }
  const bool mpeg1 = f.version == 3;
  f.rate = rates[rateIndex] >> (mpeg1 ? 0 : f.version == 2 ? 1 : 2);
  f.channels = (p[3] >> 6) == 3 ? 1 : 2;
  const uint32_t bitrate = kbps[mpeg1 ? 0 : 1][f.layer - 1][bitrateIndex] * 1000;
  if (f.layer == 1) {
    f.samples = 384;
    f.length = (12 * bitrate / f.rate + padding) * 4;
  } else {
    f.samples = f.layer == 3 && !mpeg1 ? 576 : 1152;
    f.length = f.samples / 8 * bitrate / f.rate + padding;
  }
  return true;
}

// True when the frame `p` (whole) is a Xing or LAME info frame: a Layer III frame that carries
// the stream's frame count, and the encoder's delay and padding, in place of sound.
bool IsInfoFrame(const uint8_t* p, const Frame& f) {
  if (f.layer != 3) return false;
  const bool crc = (p[1] & 1) == 0;
  const uint32_t sideInfo =
      f.version == 3 ? (f.channels == 1 ? 17 : 32) : (f.channels == 1 ? 9 : 17);
  const uint32_t at = 4 + (crc ? 2 : 0) + sideInfo;
  return at + 4 <= f.length &&
         (std::memcmp(p + at, "Xing", 4) == 0 || std::memcmp(p + at, "Info", 4) == 0);
}

// The length of a leading ID3v2 tag (header, body, footer), 0 when there is none; may pass the
// end of the data.
uint64_t Id3v2Length(const uint8_t* data, size_t size) {
  if (size < 10 || std::memcmp(data, "ID3", 3) != 0 || data[3] == 0xFF || data[4] == 0xFF) {
    return 0;
  }
  uint64_t body = 0;
  for (int i = 6; i < 10; ++i) {
    if (data[i] & 0x80) return 0;  // sizes are syncsafe: seven bits a byte
    body = body << 7 | data[i];
  }
  return 10 + body + ((data[5] & 0x10) ? 10 : 0);
}

// True when `rest` is nothing but an APEv2 tag and an ID3v1 tag, each optional, in that order.
bool OnlyTrailingTags(const uint8_t* rest, size_t size) {
  if (size >= 128 && std::memcmp(rest + size - 128, "TAG", 3) == 0) size -= 128;
  if (size >= 32 && std::memcmp(rest + size - 32, "APETAGEX", 8) == 0) {
    const uint8_t* footer = rest + size - 32;
    // The tag's size counts its items and footer; a header, when flagged, comes on top.
    const uint64_t tag = uint64_t{GetU32(footer + 12)} + ((footer[23] & 0x80) ? 32 : 0);
    if (tag >= 32 && tag <= size) size -= static_cast<size_t>(tag);
  }
  return size == 0;
}

struct HandleDeleter {
  void operator()(mpg123_handle* h) const { mpg123_delete(h); }
};
using Handle = std::unique_ptr<mpg123_handle, HandleDeleter>;

// A decoder fed the whole of `frames`; null with `why` when libmpg123 refuses.
Handle OpenDecoder(const uint8_t* frames, size_t size, std::string* why) {
  [[maybe_unused]] static const int initialised = mpg123_init();  // a no-op since 1.27
  int error = MPG123_OK;
  Handle handle(mpg123_new(nullptr, &error));
  mpg123_handle* mh = handle.get();
  if (mh == nullptr) {
    Refuse(why, std::string("libmpg123: ") + mpg123_plain_strerror(error));
    return nullptr;
  }
  // Quiet; no resync past damage; no change of format; the frames are whole, so the first needs
  // no look at the second before it is decoded.
  const long flags = MPG123_QUIET | MPG123_GAPLESS | MPG123_NO_RESYNC | MPG123_NO_FRANKENSTEIN |
                     MPG123_NO_READAHEAD;
  if (mpg123_param2(mh, MPG123_ADD_FLAGS, flags, 0) != MPG123_OK ||
      mpg123_open_feed(mh) != MPG123_OK || mpg123_feed(mh, frames, size) != MPG123_OK) {
    Refuse(why, std::string("libmpg123: ") + mpg123_strerror(mh));
    return nullptr;
  }
  return handle;
}

// Decodes all that was fed, adding the bytes of sound to `bytes`; `frameBytes` gets the bytes per
// sample frame of the output. The output's format must be the frame headers' and must not
// change, and a decoder that decodes more frames than the `walked` there are is stopped.
bool DecodeAll(mpg123_handle* mh, uint64_t walked, const Frame& first, uint64_t& bytes,
               size_t& frameBytes, std::string* why) {
  for (uint64_t calls = 0;; ++calls) {
    if (calls > walked + 2) return Refuse(why, "libmpg123 decodes more frames than there are");
    off_t number = 0;
    unsigned char* audio = nullptr;
    size_t done = 0;
    const int result = mpg123_decode_frame(mh, &number, &audio, &done);
    if (result == MPG123_NEW_FORMAT) {
      long rate = 0;
      int channels = 0, encoding = 0;
      if (frameBytes != 0 || mpg123_getformat(mh, &rate, &channels, &encoding) != MPG123_OK ||
          rate != static_cast<long>(first.rate) || channels != static_cast<int>(first.channels) ||
          mpg123_encsize(encoding) <= 0) {
        return Refuse(why, "the decoder's format differs from the frame headers'");
      }
      frameBytes = static_cast<size_t>(channels) * mpg123_encsize(encoding);
    } else if (result == MPG123_OK) {
      bytes += done;
    } else if (result == MPG123_NEED_MORE || result == MPG123_DONE) {
      return true;
    } else {
      return Refuse(why, std::string("libmpg123 cannot decode it: ") + mpg123_strerror(mh));
    }
  }
}

// Decodes `frames` (already walked: `walked` of them, whole, back to back, the last at `lastAt`,
// the first an info frame when `infoFrame`) and counts the samples, with the encoder's delay and
// padding cut as the info frame says. The decoder must neither fail nor stop short of the last
// frame, and must count the frames of sound there are: an info frame that counts more belongs to
// a file that lost its last frames.
bool Decode(const uint8_t* frames, size_t size, size_t lastAt, uint64_t walked, bool infoFrame,
            const Frame& first, SoundInfo& info, std::string* why) {
  const Handle handle = OpenDecoder(frames, size, why);
  if (!handle) return false;
  mpg123_handle* mh = handle.get();
  uint64_t bytes = 0;
  size_t frameBytes = 0;  // bytes per sample frame of the output
  if (!DecodeAll(mh, walked, first, bytes, frameBytes, why)) return false;
  // An info frame that counts fewer frames than there are ends the decoding early.
  if (mpg123_framepos(mh) != static_cast<off_t>(lastAt)) {
    return Refuse(why, "libmpg123 stops before its last frame");
  }
  const off_t counted = mpg123_framelength(mh);  // without an info frame, the frames decoded
  const uint64_t sound = walked - (infoFrame ? 1 : 0);
  if (counted < 0 || static_cast<uint64_t>(counted) != sound) {
    const std::string counts = std::to_string(counted), holds = std::to_string(sound);
    return Refuse(why, infoFrame ? "its info frame counts " + counts + " frames, it holds " + holds
                                 : "libmpg123 decodes " + counts + " of its " + holds + " frames");
  }
  info.samples = frameBytes == 0 ? 0 : bytes / frameBytes;
  info.rate = first.rate;
  info.channels = first.channels;
  if (info.samples == 0) return Refuse(why, "it decodes to no sound");
  return true;
}

}  // namespace

bool CheckMp3(const uint8_t* data, size_t size, SoundInfo* info, std::string* why) {
  if (size == 0) return Refuse(why, "it is empty");
  const uint64_t tag = Id3v2Length(data, size);
  if (tag > size) return Refuse(why, "its ID3v2 tag runs past its end");
  const size_t start = static_cast<size_t>(tag);
  size_t at = start, lastAt = start;
  uint64_t frames = 0;
  Frame first, f;
  for (; size - at >= 4 && ParseFrame(data + at, f); ++frames) {
    const char* wrong = nullptr;
    if (f.length > size - at) {
      wrong = " is cut short by the end";
    } else if (frames == 0) {
      first = f;
    } else if (f.version != first.version || f.layer != first.layer || f.rate != first.rate ||
               f.channels != first.channels) {
      wrong = " changes the stream's kind, rate or channels";
    }
    if (wrong != nullptr) {
      return Refuse(why, "the MPEG frame at byte " + std::to_string(at) + wrong);
    }
    lastAt = at;
    at += f.length;
  }
  if (frames == 0) return Refuse(why, "no MPEG audio frame at byte " + std::to_string(at));
  if (!OnlyTrailingTags(data + at, size - at)) {
    return Refuse(why, "the " + std::to_string(size - at) + " bytes from byte " +
                           std::to_string(at) + " are neither MPEG frames nor a closing tag");
  }
  SoundInfo decoded;
  const bool infoFrame = IsInfoFrame(data + start, first);
  if (!Decode(data + start, at - start, lastAt - start, frames, infoFrame, first, decoded, why)) {
    return false;
  }
  if (info != nullptr) *info = decoded;
  return true;
}

bool CheckWav(const uint8_t* data, size_t size, SoundInfo* info, std::string* why) {
  if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
    return Refuse(why, "it is not a RIFF/WAVE file");
  }
  if (uint64_t{GetU32(data + 4)} + 8 != size) {
    return Refuse(why, "its RIFF size says " + std::to_string(uint64_t{GetU32(data + 4)} + 8) +
                           " bytes, it has " + std::to_string(size));
  }
  SoundInfo found;
  uint32_t blockAlign = 0;
  bool haveData = false;
  for (size_t at = 12; at < size;) {
    if (size - at < 8) {
      return Refuse(why, "a chunk header is cut short at byte " + std::to_string(at));
    }
    const uint8_t* chunk = data + at;
    const uint64_t length = GetU32(chunk + 4);
    if (length > size - at - 8) {
      return Refuse(why, "the chunk at byte " + std::to_string(at) + " runs past the end");
    }
    const uint8_t* body = chunk + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (blockAlign != 0 || length < 16) {
        return Refuse(why, "its \"fmt \" chunk is repeated or shorter than 16 bytes");
      }
      const uint32_t format = GetU16(body), channels = GetU16(body + 2), rate = GetU32(body + 4);
      const uint32_t byteRate = GetU32(body + 8), align = GetU16(body + 12),
                     bits = GetU16(body + 14);
      if (format != 1 || bits != 16) return Refuse(why, "it is not 16-bit PCM");
      if (channels == 0 || rate == 0 || align != channels * 2 ||
          uint64_t{byteRate} != uint64_t{rate} * align) {
        return Refuse(why, "its \"fmt \" chunk's rate, channels and block size disagree");
      }
      found.rate = rate;
      found.channels = channels;
      blockAlign = align;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (blockAlign == 0 || haveData) {
        return Refuse(why, "its \"data\" chunk is not the one after \"fmt \"");
      }
      if (length % blockAlign != 0) return Refuse(why, "its \"data\" chunk holds part of a sample");
      found.samples = length / blockAlign;
      haveData = true;
    }
    // Chunks are padded to even lengths; the last one may leave its pad byte out.
    at += 8 + length + (length & 1);
    if (at > size) at = size;
  }
  if (!haveData) return Refuse(why, "it has no \"data\" chunk");
  if (info != nullptr) *info = found;
  return true;
}

}  // namespace quarnel
