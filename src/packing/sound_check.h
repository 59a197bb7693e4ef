// Checks that the sound files the external encoder is given and leaves are what they claim to be,
// before they are stored: an MP3 must decode from its first byte to its last, a WAV must be
// 16-bit PCM whose header agrees with its length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarnel {

struct SoundInfo {
  uint64_t samples = 0;  // per channel; for an MP3, after the encoder's delay and padding are cut
  uint32_t rate = 0;
  uint32_t channels = 0;
  double Seconds() const { return rate == 0 ? 0.0 : static_cast<double>(samples) / rate; }
};

// True when `data` decodes as MPEG audio from start to end: an optional ID3v2 tag, then MPEG
// frames of one sample rate and channel count, back to back, then at most an APE and an ID3v1
// tag; libmpg123 decodes every frame without an error. Otherwise false, with `why` saying what is
// wrong in one line. `info` (may be null) gets the decoded length.
bool CheckMp3(const uint8_t* data, size_t size, SoundInfo* info, std::string* why);

// True when `data` is a RIFF/WAVE file of 16-bit PCM whose RIFF size is the file's length and
// whose chunks fill it exactly, with one "fmt " chunk before one "data" chunk of whole sample
// frames. Otherwise false, with `why` saying what is wrong in one line.
bool CheckWav(const uint8_t* data, size_t size, SoundInfo* info, std::string* why);

}  // namespace quarnel
