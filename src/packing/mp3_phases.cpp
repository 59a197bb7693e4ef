#include "packing/mp3_phases.h"

#include <sys/stat.h>

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
  if (file.size == 0) return true;
  std::vector<uint8_t> buffer(file.size, 0);
  std::FILE* f = std::fopen(file.path.c_str(), "rb");
  const size_t got = f ? std::fread(buffer.data(), 1, buffer.size(), f) : 0;
  if (f) std::fclose(f);
  if (got != file.size) {
    LogF(state, window, "Warning: %s changed while it was added; the missing part is zeros.",
         file.path.c_str());
  }
  if (!data.Write(buffer.data(), buffer.size())) {
    LogF(state, window, "ERROR: cannot write %s: %s", data.Path().c_str(),
         std::strerror(data.Errno()));
    return false;
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
  return {"-r", "--signed", "--little-endian", "-s", "44.1", "--bitwidth", "16", "-m", "s",
          "--cbr", "--resample", "16", raw, mp3};
}

bool XaRecordPhase(AppState& state, Window& window, OutputFile& data, const std::string& workFolder,
                   std::vector<SectionEntryInfo>& entries) {
  // Records past the table's end were counted but never stored: they have no sound to add.
  const uint32_t count = std::min(state.XaRecordTotal, XA_RECORD_TABLE_SIZE);
  LogF(state, window, "- Compressing XA Records...");
  SetProgress(window, 0, 1);
  for (uint32_t i = 0; i < count; ++i) {
    const std::string mp3 = XaMp3Path(workFolder, i);
    std::remove(mp3.c_str());  // never mistake an earlier run's file for this one's
    RunEncoder(workFolder, XaEncoderArguments(XaWavPath(workFolder, i), mp3));
    SetProgress(window, i + 1, count);
  }
  LogF(state, window, "- XA Records compressed.");

  std::vector<SectionFile> files(count);
  uint64_t offset = data.Position() + 4 + uint64_t{SECTION_ENTRY_SIZE} * count;
  uint8_t head[4];
  PutU32(head, count);
  if (!data.Write(head, sizeof head)) return DataWriteFailed(state, window, data);
  for (uint32_t i = 0; i < count; ++i) {
    bool exists;
    files[i].path = XaMp3Path(workFolder, i);
    files[i].size = FileSize(files[i].path, &exists);
    if (!exists) {
      const std::string wav = XaWavPath(workFolder, i);
      files[i].path = wav;
      files[i].size = FileSize(wav, &exists);
      LogF(state, window, exists ? "Warning: no MP3 was made of %s; the WAV file is added."
                                 : "Warning: %s is missing; XA record %u gets no sound.",
           wav.c_str(), i);
    }
    const XaRecord& r = state.XaRecordTable[i];
    if (offset + files[i].size > UINT32_MAX) {
      LogF(state, window, "ERROR: the data file would pass 4 GiB; %s is left out.",
           files[i].path.c_str());
      files[i].size = 0;
    }
    if (!WriteSectionEntry(data, r.firstSector, r.lastSector, static_cast<uint32_t>(offset),
                           files[i].size)) {
      return DataWriteFailed(state, window, data);
    }
    entries.push_back({r.firstSector, r.lastSector, static_cast<uint32_t>(offset), files[i].size,
                       files[i].path});
    offset += files[i].size;
  }

  SetProgress(window, 0, 1);
  LogF(state, window, "- Adding compressed XA records.");
  for (uint32_t i = 0; i < count; ++i) {
    if (!AppendFile(state, window, data, files[i])) return false;
    SetProgress(window, i + 1, count);
  }
  LogF(state, window, "- Compressed XA records added.");
  return true;
}

bool AudioTrackPhase(AppState& state, Window& window, OutputFile& data,
                     const std::string& workFolder, std::vector<SectionEntryInfo>& entries) {
  const uint32_t count = state.AudioTracks.audioTrackCount;
  LogF(state, window, "- Compressing audio tracks...");
  SetProgress(window, 0, 1);
  for (uint32_t k = 2; k <= count + 1; ++k) {
    const std::string mp3 = TrackMp3Path(workFolder, k);
    std::remove(mp3.c_str());
    RunEncoder(workFolder, TrackEncoderArguments(TrackRawPath(workFolder, k), mp3));
    SetProgress(window, k - 1, count);
  }
  LogF(state, window, "- Audio tracks compressed.");

  std::vector<SectionFile> files(count);
  uint64_t offset = data.Position() + 4 + uint64_t{SECTION_ENTRY_SIZE} * count;
  uint8_t head[4];
  PutU32(head, count);
  if (!data.Write(head, sizeof head)) return DataWriteFailed(state, window, data);
  for (uint32_t k = 2; k <= count + 1; ++k) {
    SectionFile& file = files[k - 2];
    bool exists;
    file.path = TrackMp3Path(workFolder, k);
    file.size = FileSize(file.path, &exists);
    if (!exists) {
      LogF(state, window, "Warning: no MP3 was made of %s; audio track %02u gets no sound.",
           TrackRawPath(workFolder, k).c_str(), k);
    }
    if (offset + file.size > UINT32_MAX) {
      LogF(state, window, "ERROR: the data file would pass 4 GiB; %s is left out.",
           file.path.c_str());
      file.size = 0;
    }
    AudioTrack& t = state.AudioTracks.track[k];
    t.dataOffset = static_cast<uint32_t>(offset);
    t.dataSize = file.size;
    if (!WriteSectionEntry(data, t.firstSector, t.lastSector, t.dataOffset, t.dataSize)) {
      return DataWriteFailed(state, window, data);
    }
    entries.push_back({t.firstSector, t.lastSector, t.dataOffset, t.dataSize, file.path});
    offset += file.size;
  }

  SetProgress(window, 0, 1);
  LogF(state, window, "- Adding compressed audio tracks.");
  for (uint32_t k = 2; k <= count + 1; ++k) {
    if (!AppendFile(state, window, data, files[k - 2])) return false;
    SetProgress(window, k - 1, count);
  }
  LogF(state, window, "- Compressed audio tracks added.");
  return true;
}

}  // namespace quarnel
