#include "packing/mp3_phases.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/platform.h"
#include "common/report.h"
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

uint32_t FileSize(const std::string& path, bool* exists) {
  struct stat st;
  *exists = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (!*exists || st.st_size > static_cast<off_t>(UINT32_MAX)) return 0;
  return static_cast<uint32_t>(st.st_size);
}

// Copies exactly `file.size` bytes, so that every entry's offset stays true; a file that shrank or
// vanished since its entry was written is padded with zeros and reported.
bool AppendFile(AppState& state, Window& window, OutputFile& data, const SectionFile& file) {
  // Copied in pieces: a section file may be large, and its size came from outside.
  constexpr size_t PIECE = 1 << 20;
  std::vector<uint8_t> buffer(std::min<size_t>(file.size, PIECE));
  std::FILE* f = std::fopen(file.path.c_str(), "rb");
  bool complete = f != nullptr;
  for (uint32_t left = file.size; left > 0;) {
    const size_t n = std::min<size_t>(left, PIECE);
    const size_t got = complete ? std::fread(buffer.data(), 1, n, f) : 0;
    if (got < n) {
      complete = false;
      std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(got), buffer.begin() + n, 0);
    }
    if (!data.Write(buffer.data(), n)) {
      if (f) std::fclose(f);
      LogF(state, window, "ERROR: cannot write %s: %s", data.Path().c_str(),
           std::strerror(data.Errno()));
      return false;
    }
    left -= static_cast<uint32_t>(n);
  }
  if (f) std::fclose(f);
  if (!complete) {
    LogF(state, window, "Warning: %s changed while it was added; the missing part is zeros.",
         file.path.c_str());
  }
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

void SetProgress(Window& window, uint64_t done, uint64_t total) {
  window.SetProgress(total == 0 ? 100u : static_cast<unsigned>(done * 100 / total));
  window.PumpMessages();
}

bool DataWriteFailed(AppState& state, Window& window, const OutputFile& data) {
  LogF(state, window, "ERROR: cannot write %s: %s", data.Path().c_str(),
       std::strerror(data.Errno()));
  return false;
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

// One entry of a section: the sectors it covers, the file whose copy it carries, and the line that
// says so when that file is missing.
struct SectionItem {
  uint32_t firstSector;
  uint32_t lastSector;
  std::string mp3;
  std::string fallback;  // taken when the MP3 is missing; may be empty
};

// Writes the section's count and entries at the end of the data file, then the files themselves,
// with the progress and the two log lines of the adding step.
bool WriteSection(AppState& state, Window& window, OutputFile& data,
                  const std::vector<SectionItem>& items, const char* adding, const char* added,
                  std::vector<SectionEntryInfo>& entries) {
  const uint32_t count = static_cast<uint32_t>(items.size());
  uint64_t offset = data.Position() + 4 + uint64_t{SECTION_ENTRY_SIZE} * count;
  uint8_t head[4];
  PutU32(head, count);
  if (!data.Write(head, sizeof head)) return DataWriteFailed(state, window, data);
  std::vector<SectionFile> files(count);
  for (uint32_t i = 0; i < count; ++i) {
    const SectionItem& item = items[i];
    bool exists;
    files[i].path = item.mp3;
    files[i].size = FileSize(item.mp3, &exists);
    if (!exists && !item.fallback.empty()) {
      files[i].path = item.fallback;
      files[i].size = FileSize(item.fallback, &exists);
      LogF(state, window,
           exists ? "Warning: no MP3 was made of %s; the WAV file is added."
                  : "Warning: no MP3 was made of %s, and the file is missing; its entry is empty.",
           item.fallback.c_str());
    } else if (!exists) {
      LogF(state, window, "Warning: %s was not made; its entry is empty.", item.mp3.c_str());
    }
    if (offset + files[i].size > UINT32_MAX) {
      LogF(state, window, "ERROR: the data file would pass 4 GiB; %s is left out.",
           files[i].path.c_str());
      files[i].size = 0;
    }
    if (!WriteSectionEntry(data, item.firstSector, item.lastSector, static_cast<uint32_t>(offset),
                           files[i].size)) {
      return DataWriteFailed(state, window, data);
    }
    entries.push_back({item.firstSector, item.lastSector, static_cast<uint32_t>(offset),
                       files[i].size, files[i].path});
    offset += files[i].size;
  }

  SetProgress(window, 0, 1);
  LogF(state, window, "%s", adding);
  for (uint32_t i = 0; i < count; ++i) {
    if (!AppendFile(state, window, data, files[i])) return false;
    SetProgress(window, i + 1, count);
  }
  LogF(state, window, "%s", added);
  return true;
}

}  // namespace

bool XaRecordPhase(AppState& state, Window& window, OutputFile& data, const std::string& workFolder,
                   std::vector<SectionEntryInfo>& entries) {
  // Records past the table's end were counted but never stored: they have no sound to add.
  const uint32_t count = std::min(state.XaRecordTotal, XA_RECORD_TABLE_SIZE);
  LogF(state, window, "- Compressing XA Records...");
  SetProgress(window, 0, 1);
  std::vector<SectionItem> items;
  for (uint32_t i = 0; i < count; ++i) {
    const XaRecord& r = state.XaRecordTable[i];
    items.push_back(
        {r.firstSector, r.lastSector, XaMp3Path(workFolder, i), XaWavPath(workFolder, i)});
    std::remove(items.back().mp3.c_str());  // never mistake an earlier run's file for this one's
    RunEncoder(workFolder, XaEncoderArguments(items.back().fallback, items.back().mp3));
    SetProgress(window, i + 1, count);
  }
  LogF(state, window, "- XA Records compressed.");
  return WriteSection(state, window, data, items, "- Adding compressed XA records.",
                      "- Compressed XA records added.", entries);
}

bool AudioTrackPhase(AppState& state, Window& window, OutputFile& data,
                     const std::string& workFolder, std::vector<SectionEntryInfo>& entries) {
  const uint32_t count = state.AudioTracks.audioTrackCount;
  LogF(state, window, "- Compressing audio tracks...");
  SetProgress(window, 0, 1);
  std::vector<SectionItem> items;
  for (uint32_t k = 2; k <= count + 1; ++k) {
    const AudioTrack& t = state.AudioTracks.track[k];
    items.push_back({t.firstSector, t.lastSector, TrackMp3Path(workFolder, k), {}});
    std::remove(items.back().mp3.c_str());
    RunEncoder(workFolder, TrackEncoderArguments(TrackRawPath(workFolder, k), items.back().mp3));
    SetProgress(window, k - 1, count);
  }
  LogF(state, window, "- Audio tracks compressed.");
  const size_t before = entries.size();
  const bool written = WriteSection(state, window, data, items, "- Adding compressed audio tracks.",
                                    "- Compressed audio tracks added.", entries);
  for (size_t i = before; i < entries.size(); ++i) {
    AudioTrack& t = state.AudioTracks.track[2 + (i - before)];
    t.dataOffset = entries[i].offset;
    t.dataSize = entries[i].size;
  }
  return written;
}

}  // namespace quarnel
