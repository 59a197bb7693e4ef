#include "packing/lossless_tracks.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "analysis/cue_sheet.h"
#include "common/commit_group.h"
#include "common/image_path.h"
#include "packing/dump_files.h"
#include "packing/dump_list.h"
#include "packing/flac_tracks.h"
#include "packing/text_fields.h"

namespace quarnel {

namespace {

bool SameFolder(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.empty() ? "." : a.c_str(), &sa) == 0 &&
         ::stat(b.empty() ? "." : b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

struct LosslessTracks::Flac {
  FlacJob job;
  OutputFile file;
};

LosslessTracks::LosslessTracks(const DiscAnalysis& analysis, std::string dataFile)
    : analysis_(analysis), dataFile_(std::move(dataFile)), folder_(FolderOf(dataFile_)) {}

LosslessTracks::~LosslessTracks() = default;

// A set: one FLAC per file other than the data track's, holding all of it. A single image: one
// FLAC per audio track, each from the end of the one before (the data track for the first) to its
// own end, the last to the file's end, so that every byte behind the data track is held.
bool LosslessTracks::PlanFlacs() {
  const std::vector<std::string>& files = analysis_.files;
  const auto add = [&](const std::string& source, uint64_t offset, uint64_t length,
                       const std::string& flac) {
    auto f = std::make_unique<Flac>();
    f->job.source = source;
    f->job.range.file = BareName(source);
    f->job.range.offset = offset;
    f->job.range.length = length;
    f->job.flacPath = folder_ + flac;
    flacs_.push_back(std::move(f));
  };
  for (const std::string& file : files) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) {
      error_ = "cannot read " + file + ": " + std::strerror(errno);
      return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (files.size() > 1) {
      if (file != analysis_.dataTrackFile) add(file, 0, size, BareName(file) + ".flac");
      continue;
    }
    if (!analysis_.HasAudioTracks()) return true;
    const AudioTrackTable& tracks = analysis_.AudioTracks;
    const uint32_t last = tracks.audioTrackCount + 1;
    prefixLength_ = (uint64_t{analysis_.dataTrackEnd} + 1) * SECTOR_SIZE;
    uint64_t from = prefixLength_;
    for (uint32_t k = 2; k <= last && from < size; ++k) {
      const uint64_t end =
          k == last
              ? size
              : std::min<uint64_t>(size, (uint64_t{tracks.track[k].lastSector} + 1) * SECTOR_SIZE);
      char name[32];
      std::snprintf(name, sizeof name, ".track%02u.flac", k);
      add(file, from, end - from, BareName(file) + name);
      from = end;
    }
  }
  return true;
}

bool LosslessTracks::Stage(OutputFile& file, const std::string& path) {
  if (file.CreateStaged(path)) return true;
  error_ = file.Error();
  return false;
}

// The FLACs are written into their temporaries, one track per core.
bool LosslessTracks::Encode(Reporter& reporter) {
  std::vector<FlacJob> jobs;
  for (const auto& f : flacs_) {
    if (!Stage(f->file, f->job.flacPath)) return false;
    jobs.push_back(f->job);
    jobs.back().flacPath = f->file.TemporaryPath();
  }
  if (jobs.empty()) return true;
  reporter.Log("- Keeping the audio tracks lossless...");
  LongOperation operation(reporter);
  size_t done = 0;
  const std::vector<FlacResult> results = EncodeFlacs(
      jobs, 0,
      [&] {
        reporter.Pump();
        return reporter.StopRequested();
      },
      [&](size_t) { operation.Step(++done, jobs.size()); });
  for (size_t i = 0; i < results.size(); ++i) {
    if (results[i].stopped) stopped_ = true;
    if (!results[i].ok && !results[i].stopped && error_.empty()) error_ = results[i].error;
    flacs_[i]->job.range = jobs[i].range;
    bytes_ += results[i].flacBytes;
  }
  if (stopped_ || !error_.empty()) return false;
  reporter.LogF("- %zu audio tracks kept as FLAC.", jobs.size());
  return true;
}

// The cue sheet's bytes go into the list as well, so that removing the originals never takes the
// dump's only cue sheet with them; they must be the bytes just hashed.
bool LosslessTracks::ReadCueText(DumpList& list) {
  const HeldFile* held = list.Find(list.cueSheet);
  if (held == nullptr || held->size > MAX_LISTED_CUE_TEXT) return true;
  if (ReadSmallFile(analysis_.cueSheet, MAX_LISTED_CUE_TEXT, &list.cueText) == 0 &&
      IsListedCueSheet(list, list.cueText)) {
    return true;
  }
  error_ = "cannot keep " + analysis_.cueSheet + ": it changed while it was read";
  return false;
}

bool LosslessTracks::WriteList(bool ripped, const std::vector<HeldFile>& held,
                               const std::string& prefixSha1, DumpList& list) {
  list.dataFile = BareName(analysis_.dataTrackFile);
  list.ripped = ripped;
  list.prefixLength = prefixLength_;
  list.prefixSha1 = prefixSha1;
  list.files = held;
  for (const auto& f : flacs_) list.flacs.push_back(BareName(f->job.flacPath));
  list.cueSheet = analysis_.cueSheet.empty() ? "" : BareName(analysis_.cueSheet);
  if (!list.cueSheet.empty() && !ReadCueText(list)) return false;
  const std::string text = FormatDumpList(list);
  if (!Stage(list_, dataFile_ + DUMP_LIST_SUFFIX)) return false;
  if (list_.Write(text.data(), text.size())) {
    bytes_ += text.size();
    return true;
  }
  error_ = list_.Error();
  return false;
}

// The cue sheet is kept byte for byte beside the image: where the outputs go elsewhere, a copy of
// the bytes the list holds, or of those hashed when it is too large for the list. Either way it
// counts in the image's size, as every command counts it.
bool LosslessTracks::CopyCueSheet(const DumpList& list) {
  const std::string& cue = analysis_.cueSheet;
  const HeldFile* held = list.Find(list.cueSheet);
  if (cue.empty() || held == nullptr) return true;
  if (SameFolder(FolderOf(cue), folder_)) {
    bytes_ += held->size;
    return true;
  }
  std::string bytes = list.cueText;
  if (bytes.empty()) {
    const int error = ReadSmallFile(cue, CUE_SHEET_MAX_SIZE, &bytes);
    if (error != 0 || !IsListedCueSheet(list, bytes)) {
      error_ = error == 0 || error == EFBIG
                   ? "cannot keep " + cue + ": it changed while it was read"
                   : "cannot read " + cue + ": " + std::strerror(error);
      return false;
    }
  }
  if (!Stage(cue_, folder_ + BareName(cue))) return false;
  if (!cue_.Write(bytes.data(), bytes.size())) {
    error_ = cue_.Error();
    return false;
  }
  bytes_ += bytes.size();
  return true;
}

// The list names every file of the dump by its base name, under which the restore creates it:
// each must be a bare file name, and no two alike.
bool LosslessTracks::CheckNames(const std::vector<std::string>& paths) {
  std::set<std::string> names;
  for (const std::string& path : paths) {
    const std::string name = BareName(path);
    if (const char* bad = BadFileNameReason(name)) {
      error_ = "cannot keep " + path + " in the list of the dump's files: its name " + bad;
      return false;
    }
    if (!names.insert(name).second) {
      error_ = "cannot keep " + path + " in the list of the dump's files: another file of the " +
               "dump has its name";
      return false;
    }
  }
  return true;
}

bool LosslessTracks::Write(bool ripped, Reporter& reporter) {
  std::vector<std::string> paths = analysis_.files;
  if (!analysis_.cueSheet.empty()) paths.push_back(analysis_.cueSheet);
  if (!CheckNames(paths) || !PlanFlacs()) return false;
  reporter.Log("- Reading the dump's files...");
  const DumpHashing hashed = HashDumpFiles(paths, prefixLength_, reporter);
  stopped_ = hashed.stopped;
  error_ = hashed.error;
  if (stopped_ || !error_.empty() || !Encode(reporter)) return false;
  // A file that changed between its reading and its encoding would be kept wrong.
  for (const auto& f : flacs_) {
    for (const HeldFile& h : hashed.files) {
      if (f->job.range.offset == 0 && h.name == f->job.range.file &&
          h.size == f->job.range.length && h.sha1 != f->job.range.sha1) {
        error_ = "cannot keep " + f->job.source + ": it changed while it was read";
        return false;
      }
    }
  }
  DumpList list;
  return WriteList(ripped, hashed.files, hashed.prefixSha1, list) && CopyCueSheet(list);
}

void LosslessTracks::AddTo(CompressedWriter& writer) {
  for (const auto& f : flacs_) writer.AddCompanion(f->file);
  if (cue_.Staged()) writer.AddCompanion(cue_);
  if (list_.Staged()) writer.AddCompanion(list_);
}

void LosslessTracks::Discard() {
  for (const auto& f : flacs_) f->file.Discard();
  cue_.Discard();
  list_.Discard();
}

std::vector<std::string> LosslessTracks::Names() const {
  std::vector<std::string> names;
  for (const auto& f : flacs_) names.push_back(f->job.flacPath);
  if (!cue_.Path().empty()) names.push_back(cue_.Path());
  if (!list_.Path().empty()) names.push_back(list_.Path());
  return names;
}

}  // namespace quarnel
