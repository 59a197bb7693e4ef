// Writes the fuzzing harnesses' seed corpora from a small synthetic disc, so that no binary input
// is kept in the repository: OUT/<harness>/<name> for each harness.
//
// The disc: the system area, a movie with interleaved real-time audio, a two-channel XA stream, an
// FF8-style movie, and a CD-DA track with a pregap; its cue sheet; its compressed images of each
// kind, made by "Process ISO"; and XA sectors in mono and stereo. Disc sets: the sample disc's
// track set, scaled down, and sets whose sheets must be refused. Sound files: a WAV, frames of
// silence, and when the encoder is at hand, its MP3s of the WAV.
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "analysis/analyse_disc.h"
#include "analysis/cue_sheet.h"
#include "common/checksums.h"
#include "common/encoder_runs.h"
#include "common/platform.h"
#include "common/sector.h"
#include "disc_set_input.h"
#include "fuzz_support.h"
#include "packing/audio_extraction.h"
#include "packing/compressed_format.h"
#include "packing/dump_list.h"
#include "packing/mp3_phases.h"
#include "packing/process_disc.h"
#include "packing/verify_image.h"
#include "synthetic/disc_builder.h"

using namespace quarnel;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t SYSTEM_SECTORS = 17;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "make_seeds: %s\n", what.c_str());
  std::exit(1);
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class Corpus {
 public:
  explicit Corpus(fs::path dir) : dir_(std::move(dir)) {}
  void Add(const char* harness, const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path folder = dir_ / harness;
    fs::create_directories(folder);
    fuzz::WriteFile((folder / name).string(), bytes.data(), bytes.size());
  }

 private:
  fs::path dir_;
};

void PutU16(std::vector<uint8_t>& out, size_t v) {
  if (v > 0xFFFF) Fail("a seed part is too long for its length field");
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Append(std::vector<uint8_t>& out, const void* bytes, size_t size) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  out.insert(out.end(), p, p + size);
}

DiscBuilder BuildDisc() {
  DiscBuilder disc;
  // Zero-filled system area: it compresses to almost nothing and the scan passes over it.
  for (uint32_t s = 0; s < SYSTEM_SECTORS; ++s) disc.AddSector(0, 0, SUBMODE_DATA, 0);
  disc.AddMovie(3, 7, 7, 1);
  disc.AddXaToneStream({300.0, 500.0}, 3);
  for (uint16_t frame = 1; frame <= 2; ++frame) {
    for (uint8_t part = 1; part <= 3; ++part) disc.AddFf8Sector('J', part, frame);
  }
  disc.AddSector(0, 0, SUBMODE_DATA, 0);
  disc.BeginAudioTrack(2);
  disc.AddAudioSectors(4, 440.0);
  return disc;
}

void AnalysisSeeds(Corpus& corpus, const DiscBuilder& disc, const std::string& cue) {
  const std::vector<uint8_t>& image = disc.Image();
  const size_t from = size_t{SYSTEM_SECTORS} * SECTOR_SIZE;
  // Options: FF8, enhanced movie and XA searches, stamped headers, compact sectors.
  const uint8_t optionSets[] = {0x00, 0x01, 0x06, 0x08, 0x10, 0x17};
  for (uint8_t options : optionSets) {
    for (bool withCue : {false, true}) {
      std::vector<uint8_t> seed{options};
      PutU16(seed, withCue ? cue.size() : 0);
      if (withCue) Append(seed, cue.data(), cue.size());
      for (size_t at = from; at < image.size(); at += SECTOR_SIZE) {
        Append(seed, image.data() + at, (options & 0x10) ? 64 : SECTOR_SIZE);
      }
      char name[32];
      std::snprintf(name, sizeof name, "disc-%02x%s", options, withCue ? "-cue" : "");
      corpus.Add("fuzz_analysis", name, seed);
    }
  }
}

void CueSheetSeeds(Corpus& corpus, uint32_t sectorCount, const std::string& cue) {
  // The builder's sheet; one FILE per track; a one-digit track numbering; INDEX 00 before INDEX 01.
  const std::string sheets[] = {
      cue,
      "FILE \"disc (Track 1).bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"
      "FILE \"disc (Track 2).bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 00 00:00:00\n"
      "    INDEX 01 00:02:00\nFILE \"disc (Track 3).bin\" BINARY\n  TRACK 03 AUDIO\n"
      "    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n",
      "FILE \"disc.bin\" BINARY\r\nTRACK 1 MODE2/2352\r\nINDEX 1 00:00:00\r\nTRACK 2 AUDIO\r\n"
      "PREGAP 00:02:00\r\nINDEX 1 00:00:40\r\nTRACK 3 AUDIO\r\nINDEX 0 00:00:50\r\n"
      "INDEX 1 00:00:60\r\n",
  };
  int k = 0;
  for (const std::string& sheet : sheets) {
    // One file of the disc's length or a longer one.
    for (uint32_t count : {sectorCount, 100000u}) {
      std::vector<uint8_t> seed(5);
      PutU32(seed.data() + 1, count);
      Append(seed, sheet.data(), sheet.size());
      corpus.Add("fuzz_cue_sheet", "sheet-" + std::to_string(k++), seed);
    }
    // The sheet's files joined: track-sized files, and files shorter than their pregaps.
    for (uint16_t length : {uint16_t{400}, uint16_t{100}}) {
      std::vector<uint8_t> seed{1};
      for (int f = 0; f < 8; ++f) PutU16(seed, length);
      Append(seed, sheet.data(), sheet.size());
      corpus.Add("fuzz_cue_sheet", "sheet-" + std::to_string(k++), seed);
    }
  }
}

// The sample disc kept as one file per track, described in fuzz_disc_set's layout with every size
// and time divided by `scale` (so that each file fits in 255 sectors), the data track's file
// holding data sectors and the others CD audio.
fuzz::disc_set::InputWriter SampleSet(uint8_t flags, DiscFileStyle style) {
  SampleDiscLayout layout;
  const DiscBuilder disc = BuildSampleDisc(&layout);
  fuzz::ScratchDir dir;
  std::string error;
  const std::string sheetPath = disc.WriteTrackSet(dir.File(""), "Sample", &error, style);
  if (sheetPath.empty()) Fail(error);
  const std::vector<uint8_t> text = ReadAll(sheetPath);
  const CueSheet sheet =
      ReadCueSheet(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
  if (sheet.files.size() > fuzz::disc_set::MAX_FILES) Fail("the sample set has too many files");
  const uint32_t scale = layout.sectorCount / 255 + 1;
  fuzz::disc_set::InputWriter in(static_cast<uint8_t>(flags | (sheet.files.size() - 1)));
  for (size_t i = 0; i < sheet.files.size(); ++i) {
    const uint64_t bytes = fs::file_size(fs::path(sheetPath).parent_path() / sheet.files[i]);
    in.File(static_cast<uint8_t>(bytes / SECTOR_SIZE / scale), 0,
            i == 0 ? fuzz::disc_set::DATA : fuzz::disc_set::CD_AUDIO);
  }
  size_t file = SIZE_MAX;
  for (const CueTrack& track : sheet.tracks) {
    if (track.file != file) in.FileLine(static_cast<uint8_t>(file = track.file));
    in.TrackLine(track.audio ? fuzz::disc_set::AUDIO_TRACK : fuzz::disc_set::MODE2_TRACK);
    if (track.index0 != NO_INDEX) in.IndexLine(0, static_cast<uint16_t>(track.index0 / scale));
    in.IndexLine(1, static_cast<uint16_t>(track.index1 / scale));
  }
  return in;
}

void DiscSetSeeds(Corpus& corpus) {
  using namespace fuzz::disc_set;
  const auto add = [&](const char* name, const InputWriter& in) {
    corpus.Add("fuzz_disc_set", name, in.bytes);
  };
  add("sample-set", SampleSet(0, {}));
  add("sample-set-pregap-lines", SampleSet(CRLF | BYTE_ORDER_MARK, {.pregapLines = true}));
  add("sample-set-through-image", SampleSet(OPEN_FIRST_FILE, {}));
  // One image of data and audio, named in another letter case, its last sector partial.
  InputWriter joined(0);
  joined.File(120, 1000, DATA | 2 << 2);
  joined.FileLine(0, UPPER);
  joined.TrackLine(MODE2_TRACK);
  joined.IndexLine(1, 0);
  joined.Op(REM_LINE);
  joined.TrackLine(AUDIO_TRACK);
  joined.IndexLine(0, 80);
  joined.IndexLine(1, 90);
  joined.Pregap(150);
  joined.IndexLine(2, 95);
  add("joined", joined);
  // A FILE named again under another name, and with the same name in another case.
  for (const Variant again : {DOT_SLASH, LOWER}) {
    InputWriter twice(1);
    twice.File(40, 0, DATA);
    twice.File(20, 0, CD_AUDIO);
    twice.FileLine(0);
    twice.TrackLine(MODE2_TRACK);
    twice.IndexLine(1, 0);
    twice.FileLine(1, IN_FOLDER_BACKSLASH);
    twice.TrackLine(AUDIO_TRACK);
    twice.IndexLine(1, 0);
    twice.FileLine(0, again);
    twice.TrackLine(AUDIO_TRACK);
    twice.IndexLine(1, 0);
    add(again == DOT_SLASH ? "file-again" : "file-again-case", twice);
  }
  // 99 tracks and a 100th; a track number past 99; a missing file; sync only past the probe.
  InputWriter many(0);
  many.File(250, 0, DATA);
  many.FileLine(0);
  many.TrackLine(MODE2_TRACK);
  many.IndexLine(1, 0);
  many.TrackRun(98);
  many.Op(BLANK_LINE);
  many.TrackRun(1);
  add("hundred-tracks", many);
  for (const bool pastNinetyNine : {true, false}) {
    InputWriter set(2);
    set.File(30, 0, DATA);
    set.File(0, 500, CD_AUDIO);
    set.File(30, 0, PARTLY_DATA | 11 << 4);
    set.FileLine(0, IN_FOLDER, UNQUOTED);
    set.TrackLine(MODE2_TRACK);
    set.IndexLine(1, 0);
    set.FileLine(2);
    if (pastNinetyNine) set.TrackLine(AUDIO_TRACK, NUMBER_JUMP + 13);
    set.FileLine(3);
    add(pastNinetyNine ? "number-past-99" : "missing-file", set);
  }
}

void XaSeeds(Corpus& corpus) {
  DiscBuilder xa;
  xa.AddXaToneSector(0, 0x00, 440.0);
  xa.AddXaToneSector(0, 0x00, 440.0);
  xa.AddXaToneSector(1, 0x01, 660.0);
  xa.AddXaToneSector(1, 0x01, 660.0);
  xa.AddXaSector(2, 0x00, 0, 0x5);  // pattern groups and silent ones
  const size_t groups = SOUND_GROUPS_PER_SECTOR * SOUND_GROUP_SIZE;
  const auto sectors = [&](uint32_t first, uint32_t count, uint8_t mode) {
    std::vector<uint8_t> seed{mode};
    for (uint32_t s = first; s < first + count; ++s) {
      Append(seed, xa.SectorAt(s) + USER_DATA_OFFSET, groups);
    }
    return seed;
  };
  corpus.Add("fuzz_xa_decoder", "mono", sectors(0, 2, 0));
  corpus.Add("fuzz_xa_decoder", "stereo", sectors(2, 2, 1));
  corpus.Add("fuzz_xa_decoder", "mono-groups", sectors(4, 1, 2));
  corpus.Add("fuzz_xa_decoder", "stereo-groups", sectors(2, 1, 3));
}

void PutSection(std::vector<uint8_t>& data, const std::vector<SectorRange>& ranges) {
  const size_t fileSize = 32;  // a stand-in for each sound file's copy
  std::vector<uint8_t> head(4 + ranges.size() * SECTION_ENTRY_SIZE);
  PutU32(head.data(), static_cast<uint32_t>(ranges.size()));
  uint64_t at = data.size() + head.size();
  for (size_t j = 0; j < ranges.size(); ++j) {
    uint8_t* e = head.data() + 4 + j * SECTION_ENTRY_SIZE;
    PutU32(e, ranges[j].first);
    PutU32(e + 4, ranges[j].last);
    PutU32(e + 8, static_cast<uint32_t>(at));
    PutU32(e + 12, fileSize);
    at += fileSize;
  }
  Append(data, head.data(), head.size());
  for (size_t j = 0; j < ranges.size(); ++j) data.resize(data.size() + fileSize, 0xA5);
}

// The image with the sections a run converting sound writes behind the blocks: for ".ZNX" an XA
// section whose records hold the sectors their tags name, then an audio track section.
std::vector<uint8_t> WithSections(CompressionMode mode, std::vector<uint8_t> data,
                                  const std::vector<uint8_t>& side, uint32_t sectorCount) {
  if (mode == CompressionMode::ZlibXa) {
    std::vector<SectorRange> records;
    const size_t entry = KindOf(mode).entrySize;
    for (uint32_t b = 0; (b + 1) * entry <= side.size(); ++b) {
      const uint8_t* tag = side.data() + b * entry + ENTRY_TAG_AT;
      const uint32_t record = tag[TAG_RECORD_AT] | tag[TAG_RECORD_AT + 1] << 8;
      if (tag[TAG_MARKER_AT] != XA_TAG_MARKER || record == 0xFFFF) continue;
      if (records.size() <= record) records.resize(record + 1, SectorRange{b, b});
      records[record].first = std::min(records[record].first, b);
      records[record].last = std::max(records[record].last, b);
    }
    if (records.empty()) Fail("the .ZNX image tags no XA sector");
    PutSection(data, records);
  }
  PutSection(data, {SectorRange{sectorCount - 4, sectorCount - 1}});
  std::vector<uint8_t> seed{static_cast<uint8_t>(static_cast<uint32_t>(mode) - 1)};
  PutU16(seed, data.size());
  Append(seed, data.data(), data.size());
  Append(seed, side.data(), side.size());
  return seed;
}

void DatSeeds(Corpus& corpus) {
  const std::string dats[] = {
      "<?xml version=\"1.0\"?>\n<datafile>\n<header><name>Discs</name></header>\n"
      "<game name=\"Disc A\"><rom name=\"Disc A.bin\" size=\"2352\" crc=\"1a2b3c4d\" "
      "md5=\"0123456789abcdef0123456789abcdef\" "
      "sha1=\"0123456789ABCDEF0123456789abcdef01234567\"/>"
      "<rom name=\"Disc A.cue\" size=\"80\" crc=\"00000000\"/></game>\n"
      "<machine name=\"Disc B\"><rom name=\"Disc B (Track 1).bin\" size=\"4704\" "
      "sha1=\"89abcdef0123456789abcdef0123456789abcdef\"/></machine>\n</datafile>\n",
      "<datafile><game name=\"x\"><rom name=\"y\" size=\"18446744073709551615\" "
      "sha1=\"zz\"/></game></datafile>",
      "<datafile><game name=\"x\"><rom name=\"y\" size=\"-1\"/></game>",
  };
  int k = 0;
  for (const std::string& dat : dats) {
    corpus.Add("fuzz_dat", "dat-" + std::to_string(k++), {dat.begin(), dat.end()});
  }
  // The first DAT zipped, beside a file that is not one.
  fuzz::ScratchDir dir;
  const std::string zip = dir.File("dat.zip");
  int error = 0;
  zip_t* archive = zip_open(zip.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) Fail("cannot make " + zip);
  const std::string readme = "not a DAT";
  const std::pair<const char*, const std::string*> entries[] = {{"Discs.dat", &dats[0]},
                                                                {"readme.txt", &readme}};
  for (const auto& [name, text] : entries) {
    zip_source_t* source = zip_source_buffer(archive, text->data(), text->size(), 0);
    if (source == nullptr || zip_file_add(archive, name, source, 0) < 0) Fail("cannot zip a DAT");
  }
  if (zip_close(archive) != 0) Fail("cannot write " + zip);
  corpus.Add("fuzz_dat", "dat-zipped", ReadAll(zip));
  // A dump's list as --flac writes it, its cue sheet held.
  DumpList list;
  list.dataFile = "Disc (Track 1).bin";
  list.files = {{list.dataFile, 2352, "1a2b3c4d", std::string(32, 'a'), std::string(40, 'b')},
                {"Disc (Track 2).bin", 4, "00000000", std::string(32, 'c'), std::string(40, 'd')}};
  list.flacs = {"Disc (Track 2).bin.flac"};
  list.cueSheet = "Disc.cue";
  list.cueText = "FILE \"Disc (Track 1).bin\" BINARY\n";
  Checksums sums;
  sums.Update(list.cueText.data(), list.cueText.size());
  const ChecksumDigests cue = sums.Finish();
  list.files.push_back({list.cueSheet, cue.size, cue.crc32, cue.md5, cue.sha1});
  const std::string text = FormatDumpList(list);
  corpus.Add("fuzz_dat", "dump-list", {text.begin(), text.end()});
}

void SoundSeeds(Corpus& corpus) {
  // One XA sector of stereo sound at 37800 Hz: a rising ramp.
  const uint32_t samples = 2016, channels = 2;
  std::vector<uint8_t> wav(WAV_HEADER_SIZE);
  EncodeWavHeader(wav.data(), samples * channels * 2, channels, 37800);
  for (uint32_t i = 0; i < samples * channels; ++i) {
    const uint16_t v = static_cast<uint16_t>(i * 16);
    wav.push_back(static_cast<uint8_t>(v));
    wav.push_back(static_cast<uint8_t>(v >> 8));
  }
  corpus.Add("fuzz_sound", "stereo.wav", wav);
  // MPEG-2 Layer III frames at 16 kHz and 24 kbit/s whose side information is all zero: silence.
  std::vector<uint8_t> silence;
  for (int frame = 0; frame < 3; ++frame) {
    const uint8_t header[4] = {0xFF, 0xF3, 0x38, 0xC4};
    Append(silence, header, sizeof header);
    silence.resize(silence.size() + 104, 0);
  }
  corpus.Add("fuzz_sound", "silence.mp3", silence);
  std::string why;
  const std::string encoder = FindEncoder(&why);
  if (encoder.empty()) return;
  fuzz::ScratchDir dir;
  const std::string in = dir.File("in.wav"), out = dir.File("out.mp3");
  fuzz::WriteFile(in, wav.data(), wav.size());
  const EncoderResult run = RunEncoder(encoder, XaEncoderArguments(in, out), [] { return false; });
  if (run.end != EncoderEnd::Succeeded) Fail("cannot encode a WAV: " + run.how);
  corpus.Add("fuzz_sound", "stereo.mp3", ReadAll(out));
}

// The compressed images of each kind, made the way a user makes them. The sectors keep their
// headers and the first bytes of their user data but are otherwise zero: the blocks shrink to a
// few dozen bytes, so that the mutations fall on the tables and streams rather than on noise.
void UncompressSeeds(Corpus& corpus, DiscBuilder disc, const std::string& cue) {
  std::vector<uint8_t>& image = disc.MutableImage();
  for (size_t at = 0; at + SECTOR_SIZE <= image.size(); at += SECTOR_SIZE) {
    std::fill(image.begin() + at + USER_DATA_OFFSET + 20, image.begin() + at + SECTOR_SIZE, 0);
  }
  fuzz::ScratchDir dir;
  const std::string bin = dir.File("disc.bin");
  std::string error;
  if (!disc.Write(bin, {}, &error)) Fail(error);
  { std::ofstream(dir.File("disc.cue"), std::ios::binary) << cue; }
  const fs::path home = fs::current_path();
  fs::current_path(fs::path(bin).parent_path());  // the work folder is made here

  struct Kind {
    const char* name;
    CompressionMode mode;
    CompressionChoice choice;
    bool ripXa;
  };
  const Kind kinds[] = {{"bz", CompressionMode::Bzip2, CompressionChoice::Maximum, false},
                        {"Z", CompressionMode::Zlib, CompressionChoice::Normal, false},
                        {"ZNX", CompressionMode::ZlibXa, CompressionChoice::Normal, true}};
  for (const Kind& k : kinds) {
    fuzz::SilentReporter reporter;
    AnalysisResult analysed = AnalyseDisc({.ImagePath = bin}, reporter);
    if (!analysed.Opened()) Fail("cannot analyse " + bin);
    // Ripping an XA stream without MP3 conversion still tags its sectors in the table.
    for (MediaRecord& r : analysed.analysis->MediaTable) r.rip = k.ripXa && r.kind == MEDIA_XA;
    const ProcessReport result =
        ProcessDisc(*analysed.analysis, {.compression = k.choice}, reporter);
    if (!result.outcome.Done() || result.mode != k.mode) {
      Fail(std::string("cannot write the ") + k.name + " image of " + bin);
    }
    const std::vector<uint8_t> data = ReadAll(result.dataFile);
    const std::vector<uint8_t> side = ReadAll(result.blockTable);
    std::vector<uint8_t> seed{static_cast<uint8_t>(static_cast<uint32_t>(k.mode) - 1)};
    PutU16(seed, data.size());
    Append(seed, data.data(), data.size());
    Append(seed, side.data(), side.size());
    corpus.Add("fuzz_uncompress", k.name, seed);
    corpus.Add("fuzz_verify", k.name, seed);
    corpus.Add("fuzz_verify", std::string(k.name) + "-sections",
               WithSections(k.mode, data, side, disc.SectorCount()));
    fs::remove(result.dataFile);
    fs::remove(result.blockTable);
  }
  fs::current_path(home);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) Fail("usage: make_seeds OUTPUT_FOLDER");
  Corpus corpus{fs::path(argv[1])};
  const DiscBuilder disc = BuildDisc();
  const std::string cue = disc.CueSheet("disc.bin");
  AnalysisSeeds(corpus, disc, cue);
  CueSheetSeeds(corpus, disc.SectorCount(), cue);
  DiscSetSeeds(corpus);
  XaSeeds(corpus);
  UncompressSeeds(corpus, disc, cue);
  DatSeeds(corpus);
  SoundSeeds(corpus);
  return 0;
}
