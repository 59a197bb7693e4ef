#include "packing/mp3_phases.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/encoder_runs.h"
#include "common/image_path.h"
#include "packing/sound_check.h"

namespace quarnel {

namespace {

// One entry of a section: the sectors it covers, the file the encoder reads and the MP3 it writes,
// how long the sound lasts, and the file that is stored (the MP3, or an XA record's WAV) with the
// size it had when it was checked.
struct SectionItem {
  uint32_t firstSector = 0;
  uint32_t lastSector = 0;
  std::string source;
  std::string mp3;
  double seconds = 0;
  std::string stored = {};
  uint32_t size = 0;
};

// An MP3 is read whole to be checked; no section file can pass the data file's 4 GiB anyway.
constexpr uint64_t MAX_SOUND_FILE = uint64_t{1} << 31;

bool Fail(Mp3Work& work, const std::string& file, const std::string& message) {
  if (work.failure.empty()) {
    work.failure = message;
    work.failedFile = file;
  }
  return false;
}

// Reads a whole regular file, never through a link; false with `why`.
bool ReadSoundFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = errno == ENOENT ? "there is none" : std::strerror(errno);
    return false;
  }
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) <= MAX_SOUND_FILE;
  if (!ok) *why = "it is not a regular file of at most 2 GiB";
  bytes->resize(ok ? static_cast<size_t>(st.st_size) : 0);
  for (size_t done = 0; ok && done < bytes->size();) {
    const ssize_t n = ::read(fd, bytes->data() + done, bytes->size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      ok = false;
      *why = n == 0 ? "it shrank while it was read" : std::strerror(errno);
    }
  }
  ::close(fd);
  return ok;
}

// "" when `mp3` holds MPEG audio lasting `seconds`: from a frame shorter to three frames longer,
// as the encoder's delay and padding stay in when its stream has no room for the gapless tag.
// `size` receives its size.
std::string CheckMade(const std::string& mp3, double seconds, uint32_t* size) {
  std::vector<uint8_t> bytes;
  std::string why;
  if (!ReadSoundFile(mp3, &bytes, &why)) return why;
  *size = static_cast<uint32_t>(bytes.size());  // at most MAX_SOUND_FILE
  SoundInfo info;
  if (!CheckMp3(bytes.data(), bytes.size(), &info, &why)) return why;
  const double frame = (info.rate < 32000 ? 576.0 : 1152.0) / info.rate;
  const double delta = info.Seconds() - seconds;
  if (delta < -frame || delta > 3 * frame) {
    char text[128];
    std::snprintf(text, sizeof text, "it lasts %.3f s, not the %.3f s of its sectors",
                  info.Seconds(), seconds);
    return text;
  }
  return {};
}

// Clears the MP3 names (an earlier run's file is never taken for this run's) and runs the encoder
// once per item, one per core; the progress counts finished runs. `made` says which runs ended
// well. False when a stop ended them or a name could not be cleared.
bool EncodeAll(Reporter& reporter, Mp3Work& work, std::vector<SectionItem>& items,
               std::vector<std::string>* failed,
               std::vector<std::string> (*arguments)(const std::string&, const std::string&)) {
  std::vector<std::vector<std::string>> jobs;
  for (SectionItem& item : items) {
    const std::string name = BareName(item.mp3);
    std::string why;
    if (!work.folder->PrepareFile(name, &item.mp3, &why)) return Fail(work, item.mp3, why);
    jobs.push_back(arguments(item.source, item.mp3));
  }
  failed->assign(items.size(), std::string());
  size_t done = 0;
  LongOperation operation(reporter);
  const bool ended = RunEncoders(
      work.encoder, jobs, work.parallel,
      [&] {
        reporter.Pump();
        return reporter.StopRequested();
      },
      [&](size_t job, const EncoderResult& result) {
        if (result.end != EncoderEnd::Succeeded) (*failed)[job] = result.how;
        operation.Step(++done, items.size());
      });
  work.stopped = !ended;
  return ended;
}

bool WriteSectionEntry(OutputFile& data, const SectionItem& item, uint32_t offset) {
  uint8_t entry[SECTION_ENTRY_SIZE];
  PutU32(entry, item.firstSector);
  PutU32(entry + 4, item.lastSector);
  PutU32(entry + 8, offset);
  PutU32(entry + 12, item.size);
  return data.Write(entry, sizeof entry);
}

// Copies exactly `item.size` bytes, the size it was checked at and its entry gives; a file that
// cannot be read to that size fails the phase, never leaves a hole in the section.
bool AppendFile(OutputFile& data, Mp3Work& work, const SectionItem& item) {
  std::vector<uint8_t> bytes;
  std::string why;
  if (!ReadSoundFile(item.stored, &bytes, &why) || bytes.size() != item.size) {
    if (why.empty()) why = "it changed while it was added";
    return Fail(work, item.stored, "cannot read " + item.stored + ": " + why);
  }
  return data.Write(bytes.data(), bytes.size());
}

// Writes the section's count and entries at the end of the data file, then the files themselves,
// with the progress and the two log lines of the adding step.
bool WriteSection(Reporter& reporter, OutputFile& data, Mp3Work& work,
                  const std::vector<SectionItem>& items, const char* adding, const char* added,
                  std::vector<SectionEntryInfo>& entries) {
  const uint32_t count = static_cast<uint32_t>(items.size());
  uint64_t offset = data.Position() + 4 + uint64_t{SECTION_ENTRY_SIZE} * count;
  uint8_t head[4];
  PutU32(head, count);
  if (!data.Write(head, sizeof head)) return false;
  for (const SectionItem& item : items) {
    // Offsets and sizes of a section are 32-bit.
    if (offset + item.size > UINT32_MAX) {
      return Fail(work, item.stored, "the data file would pass 4 GiB with " + item.stored);
    }
    if (!WriteSectionEntry(data, item, static_cast<uint32_t>(offset))) return false;
    entries.push_back(
        {item.firstSector, item.lastSector, static_cast<uint32_t>(offset), item.size, item.stored});
    offset += item.size;
  }
  LongOperation operation(reporter);
  operation.Step(0, 1);
  reporter.Log(adding);
  for (uint32_t i = 0; i < count; ++i) {
    if (!AppendFile(data, work, items[i])) return false;
    operation.Step(i + 1, count);
  }
  reporter.Log(added);
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

bool XaRecordPhase(const DiscAnalysis& analysis, const AudioExtraction& sound, Reporter& reporter,
                   OutputFile& data, Mp3Work& work, std::vector<SectionEntryInfo>& entries) {
  // Records past the table's end were counted but never stored: they have no sound to add.
  const uint32_t count = analysis.StoredXaRecords();
  const std::string& folder = work.folder->Path();
  reporter.Log("- Compressing XA Records...");
  LongOperation(reporter).Step(0, 1);
  std::vector<SectionItem> items(count);
  for (uint32_t i = 0; i < count; ++i) {
    const XaRecord& r = analysis.XaRecordTable[i];
    const AudioExtraction::RecordSound& s = sound.Sound(i);
    const double rate = double(s.sampleRate) * s.channels * 2;
    items[i] = {r.firstSector, r.lastSector, XaWavPath(folder, i), folder + "/" + XaMp3Name(i),
                rate == 0 ? 0 : s.pcmBytes / rate};
  }
  std::vector<std::string> failed;
  if (!EncodeAll(reporter, work, items, &failed, XaEncoderArguments)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    SectionItem& item = items[i];
    const std::string why = failed[i].empty() ? CheckMade(item.mp3, item.seconds, &item.size)
                                              : "the encoder ended with " + failed[i];
    item.stored = why.empty() ? item.mp3 : item.source;
    if (why.empty()) continue;
    // The format lets a record carry its sound as WAV: the emulator plays either.
    reporter.LogF("Warning: no MP3 of XA record %u (%s); its WAV is stored instead.", i,
                  why.c_str());
    std::vector<uint8_t> wav;
    std::string wavWhy;
    if (!ReadSoundFile(item.source, &wav, &wavWhy) ||
        !CheckWav(wav.data(), wav.size(), nullptr, &wavWhy)) {
      return Fail(work, item.source,
                  "cannot store the sound of XA record " + std::to_string(i) + ": " + item.source +
                      ": " + wavWhy);
    }
    item.size = static_cast<uint32_t>(wav.size());
  }
  reporter.Log("- XA Records compressed.");
  return WriteSection(reporter, data, work, items, "- Adding compressed XA records.",
                      "- Compressed XA records added.", entries);
}

bool AudioTrackPhase(const DiscAnalysis& analysis, Reporter& reporter, OutputFile& data,
                     Mp3Work& work, std::vector<SectionEntryInfo>& entries) {
  const uint32_t count = analysis.AudioTracks.audioTrackCount;
  const std::string& folder = work.folder->Path();
  reporter.Log("- Compressing audio tracks...");
  LongOperation(reporter).Step(0, 1);
  std::vector<SectionItem> items;
  for (uint32_t k = 2; k <= count + 1; ++k) {
    const AudioTrack& t = analysis.AudioTracks.track[k];
    const double seconds = (uint64_t{t.lastSector} - t.firstSector + 1) * SECTOR_SIZE / 4 / 44100.0;
    items.push_back({t.firstSector, t.lastSector, TrackRawPath(folder, k),
                     folder + "/" + TrackMp3Name(k), seconds});
  }
  std::vector<std::string> failed;
  if (!EncodeAll(reporter, work, items, &failed, TrackEncoderArguments)) return false;
  for (size_t i = 0; i < items.size(); ++i) {
    SectionItem& item = items[i];
    if (!failed[i].empty()) {
      return Fail(work, item.source,
                  "the MP3 encoder " + work.encoder + " could not convert " + item.source + ": " +
                      failed[i]);
    }
    const std::string why = CheckMade(item.mp3, item.seconds, &item.size);
    if (!why.empty()) {
      return Fail(work, item.source,
                  "the MP3 encoder " + work.encoder + " made no MP3 of " + item.source + ": " +
                      item.mp3 + ": " + why);
    }
    item.stored = item.mp3;
  }
  reporter.Log("- Audio tracks compressed.");
  return WriteSection(reporter, data, work, items, "- Adding compressed audio tracks.",
                      "- Compressed audio tracks added.", entries);
}

}  // namespace quarnel
