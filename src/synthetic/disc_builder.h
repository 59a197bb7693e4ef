// Builds raw CD images sector by sector: the sample disc of `quarnel sample` and the synthetic
// images of the tests. Every sector it writes carries a correct header (BCD address of its own
// position, mode 2) and a subheader with its copy, unless a caller asks otherwise.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "xa/xa_encoder.h"

namespace quarnel {

// How a disc is laid out as files, the way dumping tools write it.
struct DiscFileStyle {
  bool pregapLines = false;  // pregaps as PREGAP lines: their silence is in no file
  bool upperCase = false;    // "GAME (TRACK 1).BIN" and "GAME.CUE"
};

class DiscBuilder {
 public:
  uint32_t SectorCount() const;  // sectors added so far; the next sector's number
  const std::vector<uint8_t>& Image() const { return image_; }
  std::vector<uint8_t>& MutableImage() { return image_; }
  uint8_t* SectorAt(uint32_t n);  // n < SectorCount()

  // A Mode 2 sector with the given subheader; the 2048 (Form 1) or 2324 (Form 2) bytes of user data
  // are filled from `payload` (zeros past its end). Returns the sector's number.
  uint32_t AddSector(uint8_t file, uint8_t channel, uint8_t submode, uint8_t coding,
                     const std::vector<uint8_t>& payload = {});

  // A plain data sector (submode 0x08, Form 1) whose user data is a pattern seeded by its number.
  uint32_t AddDataSector();
  void AddDataSectors(uint32_t count);

  // One STR video sector: user data starts 0x60 0x01, 0x01 0x80 (version 2 frame header), the
  // sector's index in its frame (u16), sectors in the frame (u16), the frame number (u32 at user
  // data bytes 8..11), frame data size, 320, 240. Submode defaults to Real-time + Data (0x48).
  uint32_t AddVideoSector(uint32_t frame, uint16_t indexInFrame, uint16_t sectorsInFrame,
                          uint8_t submode = 0x48, uint8_t channel = 1);

  // A whole movie: `frames` frames of `sectorsPerFrame` sectors from frame 1; after every
  // `videoRun` video sectors one real-time XA audio sector (channel `audioChannel`) is interleaved
  // when audioChannel >= 0. The last video sector gets the EOF bit when `eofAtEnd`.
  // Returns the number of the first sector.
  uint32_t AddMovie(uint32_t frames, uint32_t sectorsPerFrame, uint32_t videoRun, int audioChannel,
                    bool eofAtEnd = true);

  // One XA ADPCM audio sector (Form 2; submode 0x64 = Real-time + Form 2 + Audio, plus
  // `extraSubmode` bits). Sound groups are filled with a non-silent pattern seeded by the channel
  // and sector, except the groups marked in `silentGroups` (bit k: group k), which get the silent
  // form (16 bytes of 0x0C, 112 zero bytes).
  uint32_t AddXaSector(uint8_t channel, uint8_t coding = 0x00, uint8_t extraSubmode = 0,
                       uint32_t silentGroups = 0);

  // An XA audio sector carrying a steady sine tone of `hz` (mono, or the same tone on both sides
  // when the coding says stereo), really ADPCM-encoded. Each channel keeps its own phase and
  // encoder history from sector to sector.
  uint32_t AddXaToneSector(uint8_t channel, uint8_t coding, double hz, uint8_t extraSubmode = 0);

  // A free-standing XA stream of tones: channel c sounds `tonesHz[c]`, in strict turn as above.
  uint32_t AddXaToneStream(const std::vector<double>& tonesHz, uint32_t sectorsPerChannel,
                           uint8_t coding = 0x00);

  // A free-standing XA stream: `sectorsPerChannel` rounds of channels 0 .. channels-1 in strict
  // turn; the last sector of each channel has the EOF bit. Returns the first sector's number.
  uint32_t AddXaStream(uint32_t channels, uint32_t sectorsPerChannel, uint8_t coding = 0x00);

  // An FF8-style movie sector: user data starts "SM", then `kind` ('J', 'N' or 'R'), then
  // `part` (1 for the first sector of a frame), then 2 bytes of zero, then `frame` as u16 LE.
  uint32_t AddFf8Sector(uint8_t kind, uint8_t part, uint16_t frame);

  // `count` CD-DA sectors (2352 bytes of 16-bit stereo PCM, no header); a sine tone of `hz`.
  void AddAudioSectors(uint32_t count, double hz);

  // A sector of raw bytes, copied as given (headers not touched).
  void AddRawSector(const uint8_t* bytes);

  // Marks the start of a CD-DA track (2, 3, ...) for the cue sheet: `pregapSectors` of the sectors
  // added next form its INDEX 00 (silence is added for them here), and its INDEX 01 is the sector
  // after them. Add the track's audio sectors afterwards.
  void BeginAudioTrack(uint32_t pregapSectors);

  // Cue sheet text for the image file name `binName`: TRACK 01 MODE2/2352 with INDEX 01 00:00:00,
  // then per audio track TRACK nn AUDIO with INDEX 00 (when it has a pregap) and INDEX 01.
  std::string CueSheet(const std::string& binName) const;

  // Writes the image, and the cue sheet beside it when there are audio tracks (`cuePath` not
  // empty).
  bool Write(const std::string& binPath, const std::string& cuePath, std::string* error) const;

  // Writes the disc as one file per track, DIR/NAME (Track N).bin, and DIR/NAME.cue with one FILE
  // line per track; INDEX times count from the start of each file. Returns the sheet's path.
  std::string WriteTrackSet(const std::string& dir, const std::string& name, std::string* error,
                            DiscFileStyle style = {}) const;

  // The same disc as the track set's files joined into one image, with a one-FILE sheet.
  bool WriteJoined(const std::string& binPath, const std::string& cuePath, std::string* error,
                   DiscFileStyle style = {}) const;

 private:
  struct TrackMark {
    uint32_t pregapStart;
    uint32_t indexOne;
  };
  // The sectors of each track's file, and its INDEX times counted from the file's start.
  struct TrackFile {
    uint32_t from, to;  // [from, to) of the image
    uint32_t pregap;    // sectors of the pregap
    bool pregapInFile;
  };
  std::vector<TrackFile> TrackFiles(DiscFileStyle style) const;
  static std::string TrackLines(uint32_t number, const TrackFile& file, uint32_t offset);

  struct ToneState {
    XaEncoder encoder;
    double phase = 0;
  };
  std::vector<uint8_t> image_;
  std::vector<TrackMark> tracks_;
  std::map<uint8_t, ToneState> tones_;
};

// What the sample disc holds, for the tests and for `quarnel sample`.
struct SampleDiscLayout {
  struct Range {
    uint32_t firstSector;
    uint32_t lastSector;
  };
  std::vector<Range> videos;
  Range xaStream;
  uint32_t xaChannels;
  std::vector<double> xaTonesHz;     // per channel, 37800 Hz mono
  std::vector<double> trackTonesHz;  // per audio track
  std::vector<Range> xaRecords;      // one per channel, in channel order
  std::vector<Range> audioTracks;    // INDEX 01 to last sector, CD tracks 2, 3
  uint32_t sectorCount;
};

// Builds the sample disc: data sectors, two movies with interleaved real-time audio, one
// four-channel XA stream, more data, then two CD-DA tracks with pregaps.
DiscBuilder BuildSampleDisc(SampleDiscLayout* layout);

// Writes DIR/sample.bin and DIR/sample.cue, and the same disc as DIR/Sample Game (Track N).bin
// with DIR/Sample Game.cue: no two of its names differ only in letter case (DIR is created when
// missing).
bool WriteSampleDisc(const std::string& dir, std::string* error);

}  // namespace quarnel
