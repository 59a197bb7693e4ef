#include "packing/mp3_phases.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/platform.h"
#include "packing/audio_extraction.h"
#include "packing/compressed_format.h"

namespace quarnel {

namespace {

// One file to append to a section: where it comes from and how long it was when the entry was
// written.
struct SectionFile {
  std::string path;
  uint32_t size = 0;
};

// Logs the ERROR line of a failure that is not the data file's, keeping the first.
bool Fail(Reporter& reporter, Mp3Work& work, const std::string& file, const std::string& message) {
  if (work.failure.empty()) {
    work.failure = message;
    work.failedFile = file;
  }
  reporter.LogF("ERROR: %s.", message.c_str());
  return false;
}

bool DataWriteFailed(Reporter& reporter, const OutputFile& data) {
  reporter.LogF("ERROR: cannot write %s: %s.", data.Path().c_str(), std::strerror(data.Errno()));
  return false;
}

// Copies exactly `file.size` bytes, the size its entry gives; a file that cannot be read to that
// size fails the phase, never leaves a hole in the section.
bool AppendFile(Reporter& reporter, OutputFile& data, Mp3Work& work, const SectionFile& file) {
  // Copied in pieces: a section file may be large, and its size came from outside.
  constexpr size_t PIECE = 1 << 20;
  std::vector<uint8_t> buffer(std::min<size_t>(file.size, PIECE));
  std::FILE* f = std::fopen(file.path.c_str(), "rb");
  if (f == nullptr) {
    return Fail(reporter, work, file.path,
                "cannot read " + file.path + ": " + std::strerror(errno));
  }
  for (uint32_t left = file.size; left > 0;) {
    const size_t n = std::min<size_t>(left, PIECE);
    if (std::fread(buffer.data(), 1, n, f) < n) {
      std::fclose(f);
      return Fail(reporter, work, file.path,
                  "cannot read " + file.path + ": it shrank while it was added");
    }
    if (!data.Write(buffer.data(), n)) {
      std::fclose(f);
      return DataWriteFailed(reporter, data);
    }
    left -= static_cast<uint32_t>(n);
  }
  std::fclose(f);
  return true;
}

bool WriteSectionEntry(OutputFile& data, uint32_t first, uint32_t last, uint32_t offset,
                       uint32_t size) {
  uint8_t entry[SECTION_ENTRY_SIZE];
  PutU32(entry, first);
  PutU32(entry + 4, last);
  PutU32(entry + 8, offset);
  PutU32(entry + 12, size);
  return data.Write(entry, sizeof entry);
}

void SetProgress(Reporter& reporter, uint64_t done, uint64_t total) {
  reporter.Progress(total == 0 ? 100u : static_cast<unsigned>(done * 100 / total));
  reporter.Pump();
}

// Runs the encoder once; a run that fails or leaves no MP3 fails the phase. An earlier run's MP3
// of the same name is removed first, so that it is never taken for this run's.
bool Encode(Reporter& reporter, Mp3Work& work, const std::string& source, const std::string& mp3,
            const std::vector<std::string>& args) {
  std::remove(mp3.c_str());
  std::string why;
  if (!RunEncoder(work.encoder, args, &why)) {
    return Fail(reporter, work, source,
                "the MP3 encoder " + work.encoder + " could not convert " + source + ": " + why);
  }
  struct stat st;
  if (::stat(mp3.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
    return Fail(
        reporter, work, source,
        "the MP3 encoder " + work.encoder + " made no MP3 of " + source + " (exit status 0)");
  }
  return true;
}

}  // namespace

std::vector<std::string> XaEncoderArguments(const std::string& wav, const std::string& mp3) {
  return {"--cbr", "--resample", "16", "--bitwidth", "16", wav, mp3};
}

std::vector<std::string> TrackEncoderArguments(const std::string& raw, const std::string& mp3) {
  return {"-r", "--signed", "--little-endian", "-s",         "44.1", "--bitwidth", "16",
          "-m", "s",        "--cbr",           "--resample", "16",   raw,          mp3};
}

namespace {

// One entry of a section: the sectors it covers and the MP3 it carries.
struct SectionItem {
  uint32_t firstSector;
  uint32_t lastSector;
  std::string mp3;
};

// Writes the section's count and entries at the end of the data file, then the files themselves,
// with the progress and the two log lines of the adding step.
bool WriteSection(Reporter& reporter, OutputFile& data, Mp3Work& work,
                  const std::vector<SectionItem>& items, const char* adding, const char* added,
                  std::vector<SectionEntryInfo>& entries) {
  const uint32_t count = static_cast<uint32_t>(items.size());
  uint64_t offset = data.Position() + 4 + uint64_t{SECTION_ENTRY_SIZE} * count;
  uint8_t head[4];
  PutU32(head, count);
  if (!data.Write(head, sizeof head)) return DataWriteFailed(reporter, data);
  std::vector<SectionFile> files(count);
  for (uint32_t i = 0; i < count; ++i) {
    const SectionItem& item = items[i];
    files[i].path = item.mp3;
    struct stat st;
    if (::stat(item.mp3.c_str(), &st) != 0) {
      return Fail(reporter, work, item.mp3,
                  "cannot read " + item.mp3 + ": " + std::strerror(errno));
    }
    // Offsets and sizes of a section are 32-bit.
    if (offset + static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
      return Fail(reporter, work, item.mp3, "the data file would pass 4 GiB with " + item.mp3);
    }
    files[i].size = static_cast<uint32_t>(st.st_size);
    if (!WriteSectionEntry(data, item.firstSector, item.lastSector, static_cast<uint32_t>(offset),
                           files[i].size)) {
      return DataWriteFailed(reporter, data);
    }
    entries.push_back({item.firstSector, item.lastSector, static_cast<uint32_t>(offset),
                       files[i].size, files[i].path});
    offset += files[i].size;
  }

  SetProgress(reporter, 0, 1);
  reporter.LogF("%s", adding);
  for (uint32_t i = 0; i < count; ++i) {
    if (!AppendFile(reporter, data, work, files[i])) return false;
    SetProgress(reporter, i + 1, count);
  }
  reporter.LogF("%s", added);
  return true;
}

}  // namespace

bool XaRecordPhase(const DiscAnalysis& analysis, Reporter& reporter, OutputFile& data,
                   Mp3Work& work, std::vector<SectionEntryInfo>& entries) {
  // Records past the table's end were counted but never stored: they have no sound to add.
  const uint32_t count = analysis.StoredXaRecords();
  reporter.LogF("- Compressing XA Records...");
  SetProgress(reporter, 0, 1);
  std::vector<SectionItem> items;
  for (uint32_t i = 0; i < count; ++i) {
    const XaRecord& r = analysis.XaRecordTable[i];
    const std::string wav = XaWavPath(work.folder, i);
    items.push_back({r.firstSector, r.lastSector, XaMp3Path(work.folder, i)});
    if (!Encode(reporter, work, wav, items.back().mp3, XaEncoderArguments(wav, items.back().mp3))) {
      return false;
    }
    SetProgress(reporter, i + 1, count);
  }
  reporter.LogF("- XA Records compressed.");
  return WriteSection(reporter, data, work, items, "- Adding compressed XA records.",
                      "- Compressed XA records added.", entries);
}

bool AudioTrackPhase(const DiscAnalysis& analysis, Reporter& reporter, OutputFile& data,
                     Mp3Work& work, std::vector<SectionEntryInfo>& entries) {
  const uint32_t count = analysis.AudioTracks.audioTrackCount;
  reporter.LogF("- Compressing audio tracks...");
  SetProgress(reporter, 0, 1);
  std::vector<SectionItem> items;
  for (uint32_t k = 2; k <= count + 1; ++k) {
    const AudioTrack& t = analysis.AudioTracks.track[k];
    const std::string raw = TrackRawPath(work.folder, k);
    items.push_back({t.firstSector, t.lastSector, TrackMp3Path(work.folder, k)});
    if (!Encode(reporter, work, raw, items.back().mp3,
                TrackEncoderArguments(raw, items.back().mp3))) {
      return false;
    }
    SetProgress(reporter, k - 1, count);
  }
  reporter.LogF("- Audio tracks compressed.");
  return WriteSection(reporter, data, work, items, "- Adding compressed audio tracks.",
                      "- Compressed audio tracks added.", entries);
}

}  // namespace quarnel
