// Layout of one raw 2352-byte CD sector (Mode 2, CD-ROM XA) and the helpers that read it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarnel {

constexpr uint32_t SECTOR_SIZE = 2352;

// The 12-byte pattern every raw sector begins with. No compressor's output begins with it, and a
// raw image always does: it tells the two apart.
constexpr size_t SYNC_SIZE = 12;
constexpr uint8_t CD_SYNC[SYNC_SIZE] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Sectors 0 to 16 hold the disc's system area and volume descriptors: never media, never ripped.
constexpr uint32_t LAST_SYSTEM_SECTOR = 16;

// Byte offsets inside a raw sector.
constexpr size_t SYNC_OFFSET = 0;     // 12 bytes, never checked by the scan
constexpr size_t HEADER_OFFSET = 12;  // minutes, seconds, frames as BCD
constexpr size_t MODE_OFFSET = 15;
constexpr size_t SUBHEADER_OFFSET = 16;
constexpr size_t FILE_NUMBER_OFFSET = 16;
constexpr size_t CHANNEL_OFFSET = 17;
constexpr size_t SUBMODE_OFFSET = 18;
constexpr size_t CODING_OFFSET = 19;
constexpr size_t SUBHEADER_COPY_OFFSET = 20;
constexpr size_t SUBMODE_COPY_OFFSET = 22;
constexpr size_t USER_DATA_OFFSET = 24;

constexpr size_t FORM1_USER_DATA_SIZE = 2048;
constexpr size_t FORM2_USER_DATA_SIZE = 2324;

// Submode bits.
constexpr uint8_t SUBMODE_END_OF_RECORD = 0x01;
constexpr uint8_t SUBMODE_VIDEO = 0x02;
constexpr uint8_t SUBMODE_AUDIO = 0x04;
constexpr uint8_t SUBMODE_DATA = 0x08;
constexpr uint8_t SUBMODE_TRIGGER = 0x10;
constexpr uint8_t SUBMODE_FORM2 = 0x20;
constexpr uint8_t SUBMODE_REAL_TIME = 0x40;
constexpr uint8_t SUBMODE_EOF = 0x80;

// Coding byte of an XA audio sector.
constexpr uint8_t CODING_STEREO_MASK = 0x03;  // value 1: stereo
constexpr uint8_t CODING_RATE_MASK = 0x0C;    // non-zero: 18900 Hz, zero: 37800 Hz

// XA audio: 18 sound groups of 128 bytes from the start of the user data. A group holds 16 bytes
// of sound parameters (the eight units' parameters at bytes 4 to 11, framed by copies), then 28
// sample words of 4 bytes; each unit decodes to 28 samples. A silent group has 0x0C for every
// parameter byte and zero words.
constexpr size_t SOUND_GROUP_SIZE = 128;
constexpr size_t SOUND_GROUPS_PER_SECTOR = 18;
constexpr size_t SOUND_PARAMETER_BYTES = 16;
constexpr size_t SOUND_PARAMETERS_OFFSET = 4;
constexpr size_t SOUND_WORDS_OFFSET = SOUND_PARAMETER_BYTES;
constexpr size_t SOUND_WORD_SIZE = 4;
constexpr size_t SOUND_UNITS_PER_GROUP = 8;
constexpr size_t SOUND_UNIT_SAMPLES = 28;
constexpr size_t SOUND_GROUP_SAMPLES = SOUND_UNITS_PER_GROUP * SOUND_UNIT_SAMPLES;       // 224
constexpr size_t XA_SAMPLES_PER_SECTOR = SOUND_GROUPS_PER_SECTOR * SOUND_GROUP_SAMPLES;  // 4032
constexpr uint8_t SILENT_SOUND_PARAMETER = 0x0C;

// STR video: the user data of a video sector starts with a 32-byte header: 0x60 0x01, the
// version (0x0001 | 0x8000 for MDEC data), the sector's index in its frame (u16), the frame's
// sector count (u16), the frame number (u32), the frame's data size (u32), width and height (u16).
constexpr uint8_t STR_MAGIC_0 = 0x60;
constexpr uint8_t STR_MAGIC_1 = 0x01;
constexpr size_t STR_VERSION_OFFSET = 2;
constexpr size_t STR_INDEX_IN_FRAME_OFFSET = 4;
constexpr size_t STR_SECTORS_IN_FRAME_OFFSET = 6;
constexpr size_t STR_FRAME_NUMBER_OFFSET = 8;
constexpr size_t STR_FRAME_SIZE_OFFSET = 12;
constexpr size_t STR_WIDTH_OFFSET = 16;
constexpr size_t STR_HEIGHT_OFFSET = 18;
constexpr size_t STR_HEADER_SIZE = 32;
constexpr size_t STR_DATA_PER_SECTOR = FORM1_USER_DATA_SIZE - STR_HEADER_SIZE;  // 2016

// Sectors 0 to 149 of a disc are addressed from 00:02:00.
constexpr uint32_t ADDRESS_OFFSET = 150;
constexpr uint32_t FRAMES_PER_SECOND = 75;

inline uint32_t FromBcd(uint8_t b) {
  return (b >> 4) * 10u + (b & 0x0F);
}
inline uint8_t ToBcd(uint32_t v) {
  return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}

// The sector number that the header's address names: ((m * 60 + s) - 2) * 75 + f, in unsigned
// 32-bit arithmetic (an address before 00:02:00 wraps and matches no sector).
inline uint32_t HeaderAddress(const uint8_t* sector) {
  const uint32_t m = FromBcd(sector[HEADER_OFFSET]);
  const uint32_t s = FromBcd(sector[HEADER_OFFSET + 1]);
  const uint32_t f = FromBcd(sector[HEADER_OFFSET + 2]);
  return ((m * 60 + s) - 2) * FRAMES_PER_SECOND + f;
}

// Writes the BCD address of sector n into a header.
inline void WriteHeaderAddress(uint8_t* sector, uint32_t n) {
  const uint32_t a = n + ADDRESS_OFFSET;
  sector[HEADER_OFFSET] = ToBcd(a / (60 * FRAMES_PER_SECOND));
  sector[HEADER_OFFSET + 1] = ToBcd((a / FRAMES_PER_SECOND) % 60);
  sector[HEADER_OFFSET + 2] = ToBcd(a % FRAMES_PER_SECOND);
}

inline uint8_t Submode(const uint8_t* sector) {
  return sector[SUBMODE_OFFSET];
}
inline const uint8_t* UserData(const uint8_t* sector) {
  return sector + USER_DATA_OFFSET;
}

}  // namespace quarnel
