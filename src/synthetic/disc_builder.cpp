#include "synthetic/disc_builder.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <system_error>
#include <utility>

#include "common/sector.h"

namespace quarnel {
namespace {

constexpr uint8_t FILE_NUMBER = 1;  // file number of every stream sector we write

constexpr uint32_t CDDA_SAMPLE_RATE = 44100;
constexpr uint32_t CDDA_FRAMES_PER_SECTOR = SECTOR_SIZE / 4;  // 16-bit stereo
constexpr double CDDA_AMPLITUDE = 8000.0;

// Deterministic filler (xorshift32), so that the same calls always build the same image.
class Pattern {
 public:
  explicit Pattern(uint32_t seed) : state_(seed * 2654435761u ^ 0x9E3779B9u) {
    if (state_ == 0) state_ = 1;
  }
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  uint8_t NextByte() { return static_cast<uint8_t>(Next() >> 24); }

 private:
  uint32_t state_;
};

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  PutU16(p, static_cast<uint16_t>(v));
  PutU16(p + 2, static_cast<uint16_t>(v >> 16));
}

// "mm:ss:ff" of a position counted from the start of the image file (no 2-second offset).
std::string CueTime(uint32_t sector) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", sector / (60 * FRAMES_PER_SECOND),
                (sector / FRAMES_PER_SECOND) % 60, sector % FRAMES_PER_SECOND);
  return buf;
}

void SetError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

// A half-written image must not be mistaken for a good one later. Only regular files are removed:
// the path may name a device.
void DiscardPartial(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
}

// Writes `size` bytes to `path`, replacing it.
bool WriteFile(const std::string& path, const void* data, size_t size, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    SetError(error, "cannot create " + path + ": " + std::strerror(errno));
    return false;
  }
  if (size != 0 && std::fwrite(data, 1, size, f) != size) {
    const int err = errno;
    std::fclose(f);
    DiscardPartial(path);
    SetError(error, "cannot write " + path + ": " + std::strerror(err));
    return false;
  }
  // Buffered data only reaches the disk here, so a full disk may show up on close.
  if (std::fclose(f) != 0) {
    const int err = errno;
    DiscardPartial(path);
    SetError(error, "cannot write " + path + ": " + std::strerror(err));
    return false;
  }
  return true;
}

}  // namespace

uint32_t DiscBuilder::SectorCount() const {
  return static_cast<uint32_t>(image_.size() / SECTOR_SIZE);
}

uint8_t* DiscBuilder::SectorAt(uint32_t n) {
  assert(n < SectorCount());
  return image_.data() + static_cast<size_t>(n) * SECTOR_SIZE;
}

uint32_t DiscBuilder::AddSector(uint8_t file, uint8_t channel, uint8_t submode, uint8_t coding,
                                const std::vector<uint8_t>& payload) {
  const uint32_t n = SectorCount();
  image_.resize(image_.size() + SECTOR_SIZE, 0);
  uint8_t* s = SectorAt(n);

  std::memcpy(s + SYNC_OFFSET, CD_SYNC, SYNC_SIZE);
  WriteHeaderAddress(s, n);
  s[MODE_OFFSET] = 2;

  const uint8_t subheader[4] = {file, channel, submode, coding};
  std::copy(subheader, subheader + 4, s + SUBHEADER_OFFSET);
  std::copy(subheader, subheader + 4, s + SUBHEADER_COPY_OFFSET);

  // Bytes past the form's user data would overwrite EDC/ECC space, so a longer payload is cut.
  const size_t userSize = (submode & SUBMODE_FORM2) ? FORM2_USER_DATA_SIZE : FORM1_USER_DATA_SIZE;
  const size_t copied = std::min(payload.size(), userSize);
  std::copy(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(copied),
            s + USER_DATA_OFFSET);
  return n;
}

uint32_t DiscBuilder::AddDataSector() {
  Pattern pattern(SectorCount());
  std::vector<uint8_t> payload(FORM1_USER_DATA_SIZE);
  for (uint8_t& b : payload) b = pattern.NextByte();
  return AddSector(0, 0, SUBMODE_DATA, 0, payload);
}

void DiscBuilder::AddDataSectors(uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) AddDataSector();
}

uint32_t DiscBuilder::AddVideoSector(uint32_t frame, uint16_t indexInFrame, uint16_t sectorsInFrame,
                                     uint8_t submode, uint8_t channel) {
  std::vector<uint8_t> payload(FORM1_USER_DATA_SIZE);
  uint8_t* p = payload.data();
  p[0] = STR_MAGIC_0;
  p[1] = STR_MAGIC_1;
  PutU16(p + STR_VERSION_OFFSET, 0x8001);
  PutU16(p + STR_INDEX_IN_FRAME_OFFSET, indexInFrame);
  PutU16(p + STR_SECTORS_IN_FRAME_OFFSET, sectorsInFrame);
  PutU32(p + STR_FRAME_NUMBER_OFFSET, frame);
  PutU32(p + STR_FRAME_SIZE_OFFSET, static_cast<uint32_t>(sectorsInFrame * STR_DATA_PER_SECTOR));
  PutU16(p + STR_WIDTH_OFFSET, 320);
  PutU16(p + STR_HEIGHT_OFFSET, 240);
  // Frame data that differs per sector, so that ripping visibly replaces something.
  Pattern pattern(frame * 65536u + indexInFrame);
  for (size_t i = 20; i < payload.size(); ++i) p[i] = pattern.NextByte();
  return AddSector(FILE_NUMBER, channel, submode, 0, payload);
}

uint32_t DiscBuilder::AddMovie(uint32_t frames, uint32_t sectorsPerFrame, uint32_t videoRun,
                               int audioChannel, bool eofAtEnd) {
  const uint32_t first = SectorCount();
  const uint32_t total = frames * sectorsPerFrame;
  const bool withAudio = audioChannel >= 0 && videoRun > 0;
  uint32_t added = 0;
  uint32_t sinceAudio = 0;
  for (uint32_t frame = 1; frame <= frames; ++frame) {
    for (uint32_t i = 0; i < sectorsPerFrame; ++i) {
      const bool last = ++added == total;
      const uint8_t submode =
          SUBMODE_REAL_TIME | SUBMODE_DATA | (last && eofAtEnd ? SUBMODE_EOF : 0);
      AddVideoSector(frame, static_cast<uint16_t>(i), static_cast<uint16_t>(sectorsPerFrame),
                     submode);
      // No audio after the last video sector: it would follow the movie's end and open an XA
      // stream of its own.
      if (withAudio && ++sinceAudio == videoRun && !last) {
        AddXaSector(static_cast<uint8_t>(audioChannel));
        sinceAudio = 0;
      }
    }
  }
  return first;
}

uint32_t DiscBuilder::AddXaSector(uint8_t channel, uint8_t coding, uint8_t extraSubmode,
                                  uint32_t silentGroups) {
  const uint32_t n = SectorCount();
  std::vector<uint8_t> payload(FORM2_USER_DATA_SIZE, 0);
  Pattern pattern(n * 257u + channel);
  for (size_t g = 0; g < SOUND_GROUPS_PER_SECTOR; ++g) {
    uint8_t* group = payload.data() + g * SOUND_GROUP_SIZE;
    if (silentGroups & (1u << g)) {
      std::fill(group, group + SOUND_PARAMETER_BYTES, SILENT_SOUND_PARAMETER);
      continue;  // sample words stay zero
    }
    // Filter 0 with shifts 4..7: audible, never clipping, and never the silent 0x0C form.
    uint8_t params[8];
    for (uint8_t& prm : params) prm = static_cast<uint8_t>(0x04 | (pattern.Next() & 0x03));
    std::copy(params, params + 4, group);           // copy of units 0-3
    std::copy(params, params + 8, group + 4);       // units 0-7
    std::copy(params + 4, params + 8, group + 12);  // copy of units 4-7
    for (size_t i = SOUND_PARAMETER_BYTES; i < SOUND_GROUP_SIZE; ++i) group[i] = pattern.NextByte();
  }
  const uint8_t submode = SUBMODE_REAL_TIME | SUBMODE_FORM2 | SUBMODE_AUDIO | extraSubmode;
  return AddSector(FILE_NUMBER, channel, submode, coding, payload);
}

uint32_t DiscBuilder::AddXaToneSector(uint8_t channel, uint8_t coding, double hz,
                                      uint8_t extraSubmode) {
  const bool stereo = (coding & CODING_STEREO_MASK) == 1;
  const double rate = (coding & CODING_RATE_MASK) ? 18900.0 : 37800.0;
  const double step = 2.0 * std::numbers::pi * hz / rate;
  ToneState& tone = tones_[channel];
  int16_t samples[XA_SAMPLES_PER_SECTOR];
  const size_t frames = stereo ? XA_SAMPLES_PER_SECTOR / 2 : XA_SAMPLES_PER_SECTOR;
  for (size_t i = 0; i < frames; ++i) {
    const auto v = static_cast<int16_t>(std::lround(CDDA_AMPLITUDE * std::sin(tone.phase)));
    tone.phase = std::fmod(tone.phase + step, 2.0 * std::numbers::pi);
    if (stereo) {
      samples[2 * i] = samples[2 * i + 1] = v;
    } else {
      samples[i] = v;
    }
  }
  std::vector<uint8_t> payload(FORM2_USER_DATA_SIZE, 0);
  if (stereo) {
    EncodeXaSectorStereo(tone.encoder, payload.data(), samples);
  } else {
    EncodeXaSectorMono(tone.encoder, payload.data(), samples);
  }
  return AddSector(FILE_NUMBER, channel,
                   SUBMODE_REAL_TIME | SUBMODE_FORM2 | SUBMODE_AUDIO | extraSubmode, coding,
                   payload);
}

uint32_t DiscBuilder::AddXaToneStream(const std::vector<double>& tonesHz,
                                      uint32_t sectorsPerChannel, uint8_t coding) {
  const uint32_t first = SectorCount();
  for (uint32_t round = 0; round < sectorsPerChannel; ++round) {
    const uint8_t extra = round + 1 == sectorsPerChannel ? SUBMODE_EOF : 0;
    for (size_t c = 0; c < tonesHz.size(); ++c) {
      AddXaToneSector(static_cast<uint8_t>(c), coding, tonesHz[c], extra);
    }
  }
  return first;
}

uint32_t DiscBuilder::AddXaStream(uint32_t channels, uint32_t sectorsPerChannel, uint8_t coding) {
  const uint32_t first = SectorCount();
  for (uint32_t round = 0; round < sectorsPerChannel; ++round) {
    const uint8_t extra = round + 1 == sectorsPerChannel ? SUBMODE_EOF : 0;
    for (uint32_t c = 0; c < channels; ++c) AddXaSector(static_cast<uint8_t>(c), coding, extra);
  }
  return first;
}

uint32_t DiscBuilder::AddFf8Sector(uint8_t kind, uint8_t part, uint16_t frame) {
  std::vector<uint8_t> payload(FORM1_USER_DATA_SIZE, 0);
  payload[0] = 'S';
  payload[1] = 'M';
  payload[2] = kind;
  payload[3] = part;
  PutU16(payload.data() + 6, frame);
  return AddSector(FILE_NUMBER, 1, SUBMODE_REAL_TIME | SUBMODE_DATA, 0, payload);
}

void DiscBuilder::AddAudioSectors(uint32_t count, double hz) {
  // The phase runs on from the first sector of this call, so the tone starts at zero after a
  // silent pregap and has no jump at sector boundaries.
  const double step = 2.0 * std::numbers::pi * hz / CDDA_SAMPLE_RATE;
  uint64_t t = 0;
  for (uint32_t n = 0; n < count; ++n) {
    const size_t base = image_.size();
    image_.resize(base + SECTOR_SIZE);
    uint8_t* s = image_.data() + base;
    for (uint32_t i = 0; i < CDDA_FRAMES_PER_SECTOR; ++i, ++t) {
      const auto v = static_cast<int16_t>(std::lround(CDDA_AMPLITUDE * std::sin(step * t)));
      PutU16(s + 4 * i, static_cast<uint16_t>(v));      // left
      PutU16(s + 4 * i + 2, static_cast<uint16_t>(v));  // right
    }
  }
}

void DiscBuilder::AddRawSector(const uint8_t* bytes) {
  image_.insert(image_.end(), bytes, bytes + SECTOR_SIZE);
}

void DiscBuilder::BeginAudioTrack(uint32_t pregapSectors) {
  const uint32_t start = SectorCount();
  tracks_.push_back({start, start + pregapSectors});
  image_.resize(image_.size() + static_cast<size_t>(pregapSectors) * SECTOR_SIZE, 0);
}

std::string DiscBuilder::CueSheet(const std::string& binName) const {
  std::string cue = "FILE \"" + binName + "\" BINARY\n";
  cue += "  TRACK 01 MODE2/2352\n";
  cue += "    INDEX 01 00:00:00\n";
  for (size_t i = 0; i < tracks_.size(); ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "  TRACK %02zu AUDIO\n", i + 2);
    cue += line;
    const TrackMark& t = tracks_[i];
    if (t.indexOne != t.pregapStart) cue += "    INDEX 00 " + CueTime(t.pregapStart) + "\n";
    cue += "    INDEX 01 " + CueTime(t.indexOne) + "\n";
  }
  return cue;
}

bool DiscBuilder::Write(const std::string& binPath, const std::string& cuePath,
                        std::string* error) const {
  if (!WriteFile(binPath, image_.data(), image_.size(), error)) return false;
  if (cuePath.empty() || tracks_.empty()) return true;
  const std::string cue = CueSheet(std::filesystem::path(binPath).filename().string());
  return WriteFile(cuePath, cue.data(), cue.size(), error);
}

std::vector<DiscBuilder::TrackFile> DiscBuilder::TrackFiles(DiscFileStyle style) const {
  std::vector<TrackFile> files;
  const uint32_t end = SectorCount();
  files.push_back({0, tracks_.empty() ? end : tracks_[0].pregapStart, 0, true});
  for (size_t i = 0; i < tracks_.size(); ++i) {
    const TrackMark& t = tracks_[i];
    const uint32_t to = i + 1 < tracks_.size() ? tracks_[i + 1].pregapStart : end;
    const uint32_t pregap = t.indexOne - t.pregapStart;
    const bool inFile = !style.pregapLines || pregap == 0;
    files.push_back({inFile ? t.pregapStart : t.indexOne, to, pregap, inFile});
  }
  return files;
}

// The TRACK and INDEX lines of CD track `number` whose file starts at sector `offset` of the file
// the sheet names.
std::string DiscBuilder::TrackLines(uint32_t number, const TrackFile& file, uint32_t offset) {
  char line[32];
  std::snprintf(line, sizeof line, "  TRACK %02u %s\n", number,
                number == 1 ? "MODE2/2352" : "AUDIO");
  std::string text = line;
  if (!file.pregapInFile) {
    text += "    PREGAP " + CueTime(file.pregap) + "\n";
  } else if (file.pregap != 0) {
    text += "    INDEX 00 " + CueTime(offset) + "\n";
  }
  const uint32_t indexOne = offset + (file.pregapInFile ? file.pregap : 0);
  text += "    INDEX 01 " + CueTime(indexOne) + "\n";
  return text;
}

std::string DiscBuilder::WriteTrackSet(const std::string& dir, const std::string& name,
                                       std::string* error, DiscFileStyle style) const {
  const std::vector<TrackFile> files = TrackFiles(style);
  const auto cased = [&](std::string s) {
    if (style.upperCase) {
      for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
  };
  std::string cue;
  for (size_t i = 0; i < files.size(); ++i) {
    const uint32_t number = static_cast<uint32_t>(i + 1);
    char suffix[32];
    std::snprintf(suffix, sizeof suffix,
                  files.size() >= 10 ? " (Track %02u).bin" : " (Track %u).bin", number);
    const std::string fileName = cased(name + suffix);
    const TrackFile& f = files[i];
    const size_t from = static_cast<size_t>(f.from) * SECTOR_SIZE;
    const size_t to = static_cast<size_t>(f.to) * SECTOR_SIZE;
    const std::string path = (std::filesystem::path(dir) / fileName).string();
    if (!WriteFile(path, image_.data() + from, to - from, error)) return {};
    cue += "FILE \"" + fileName + "\" BINARY\n" + TrackLines(number, f, 0);
  }
  const std::string cuePath = (std::filesystem::path(dir) / cased(name + ".cue")).string();
  if (!WriteFile(cuePath, cue.data(), cue.size(), error)) return {};
  return cuePath;
}

bool DiscBuilder::WriteJoined(const std::string& binPath, const std::string& cuePath,
                              std::string* error, DiscFileStyle style) const {
  std::vector<uint8_t> joined;
  std::string cue = "FILE \"" + std::filesystem::path(binPath).filename().string() + "\" BINARY\n";
  const std::vector<TrackFile> files = TrackFiles(style);
  for (size_t i = 0; i < files.size(); ++i) {
    const TrackFile& f = files[i];
    cue += TrackLines(static_cast<uint32_t>(i + 1), f,
                      static_cast<uint32_t>(joined.size() / SECTOR_SIZE));
    joined.insert(joined.end(), image_.begin() + static_cast<ptrdiff_t>(f.from) * SECTOR_SIZE,
                  image_.begin() + static_cast<ptrdiff_t>(f.to) * SECTOR_SIZE);
  }
  return WriteFile(binPath, joined.data(), joined.size(), error) &&
         WriteFile(cuePath, cue.data(), cue.size(), error);
}

DiscBuilder BuildSampleDisc(SampleDiscLayout* layout) {
  DiscBuilder disc;
  SampleDiscLayout l;

  // Plenty of ordinary data first: the scan passes over the first sectors of a disc.
  disc.AddDataSectors(300);

  // Two movies with real-time audio on channel 1; the second with a longer cycle and frames.
  uint32_t first = disc.AddMovie(10, 7, 7, 1);
  l.videos.push_back({first, disc.SectorCount() - 1});
  disc.AddDataSectors(50);
  first = disc.AddMovie(12, 10, 10, 1);
  l.videos.push_back({first, disc.SectorCount() - 1});
  disc.AddDataSectors(40);

  constexpr uint32_t XA_CHANNELS = 4;
  constexpr uint32_t XA_SECTORS_PER_CHANNEL = 40;
  // A different steady tone on each channel, so that each record's sound can be told apart.
  l.xaTonesHz = {300.0, 500.0, 700.0, 900.0};
  first = disc.AddXaToneStream(l.xaTonesHz, XA_SECTORS_PER_CHANNEL);
  l.xaStream = {first, disc.SectorCount() - 1};
  l.xaChannels = XA_CHANNELS;
  const uint32_t lastRound = first + (XA_SECTORS_PER_CHANNEL - 1) * XA_CHANNELS;
  for (uint32_t c = 0; c < XA_CHANNELS; ++c) l.xaRecords.push_back({first + c, lastRound + c});
  disc.AddDataSectors(40);

  constexpr uint32_t PREGAP = 150;
  constexpr uint32_t TRACK_SECTORS = 300;
  l.trackTonesHz = {440.0, 660.0};
  for (double hz : l.trackTonesHz) {
    disc.BeginAudioTrack(PREGAP);
    const uint32_t indexOne = disc.SectorCount();
    disc.AddAudioSectors(TRACK_SECTORS, hz);
    l.audioTracks.push_back({indexOne, disc.SectorCount() - 1});
  }
  l.sectorCount = disc.SectorCount();

  if (layout) *layout = std::move(l);
  return disc;
}

bool WriteSampleDisc(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    SetError(error, "cannot create directory " + dir + ": " + ec.message());
    return false;
  }
  const DiscBuilder disc = BuildSampleDisc(nullptr);
  const std::filesystem::path base(dir);
  return disc.Write((base / "sample.bin").string(), (base / "sample.cue").string(), error) &&
         !disc.WriteTrackSet(dir, "Sample Game", error).empty();
}

}  // namespace quarnel
