#include "packing/dump_restore.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "analysis/cue_sheet.h"
#include "common/commit_group.h"
#include "packing/flac_tracks.h"

namespace quarnel {

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Joins several failures into the one the outcome reports.
void AddFailure(Outcome& outcome, const std::string& why) {
  if (outcome.error.empty()) {
    outcome.error = why;
  } else {
    outcome.error += "; " + why;
  }
}

}  // namespace

DumpRestore::DumpRestore() = default;
DumpRestore::~DumpRestore() = default;

bool DumpRestore::Load(const std::string& dataFile, const std::string& outputFolder) {
  folder_ = FolderOf(dataFile);
  outputFolder_ = outputFolder;
  return ReadDumpList(dataFile + DUMP_LIST_SUFFIX, &list_, &exists_, &error_);
}

// Decodes the FLACs that hold `file`, in the order of their ranges from `*at` on, into `out`.
bool DumpRestore::Decode(const std::string& name, uint64_t* at, OutputFile& out, Checksums* sums,
                         Reporter& reporter, std::string* why) {
  struct Part {
    std::string path;
    FlacRange range;
  };
  std::vector<Part> parts;
  for (const std::string& flac : list_.flacs) {
    Part part{folder_ + flac, {}};
    std::string error;
    if (!ReadFlacRange(part.path, &part.range, &error)) {
      // A FLAC that cannot be read may be this file's: it is missing either way.
      if (flac.rfind(name, 0) == 0) {
        *why = error;
        return false;
      }
      continue;
    }
    if (part.range.file == name) parts.push_back(std::move(part));
  }
  std::sort(parts.begin(), parts.end(),
            [](const Part& a, const Part& b) { return a.range.offset < b.range.offset; });
  for (const Part& part : parts) {
    if (part.range.offset != *at) {
      *why = part.path + " holds bytes from " + std::to_string(part.range.offset) + " of " + name +
             ", not from " + std::to_string(*at);
      return false;
    }
    const auto sink = [&](const uint8_t* bytes, size_t n) {
      if (sums != nullptr) sums->Update(bytes, n);
      return out.Write(bytes, n);
    };
    const auto poll = [&] {
      reporter.Pump();
      return reporter.StopRequested();
    };
    if (!DecodeFlac(part.path, nullptr, sink, poll, why, &stopped_)) {
      if (out.Failed()) *why = out.Error();
      return false;
    }
    *at += part.range.length;
  }
  return true;
}

bool DumpRestore::AppendDataFileTail(OutputFile& out, Checksums& sums, Reporter& reporter,
                                     std::string* why) {
  uint64_t at = list_.prefixLength;
  const HeldFile* file = list_.Find(list_.dataFile);
  if (!Decode(list_.dataFile, &at, out, &sums, reporter, why)) return false;
  if (file != nullptr && at != file->size) {
    *why = "the FLACs of " + list_.dataFile + " hold " + std::to_string(at) + " of its " +
           std::to_string(file->size) + " bytes";
    return false;
  }
  return true;
}

std::string DumpRestore::CheckDataFile(const ChecksumDigests& restored) const {
  const HeldFile* file = list_.Find(list_.dataFile);
  if (file == nullptr || (restored.size == file->size && restored.sha1 == file->sha1)) return {};
  return list_.ripped
             ? list_.dataFile + " is not the dump's: media were ripped from it"
             : list_.dataFile + " differs from the dump's (size " + std::to_string(restored.size) +
                   " against " + std::to_string(file->size) + ")";
}

bool DumpRestore::MayReplace(const std::string& path, Reporter& reporter, Outcome& outcome) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return true;
  if (reporter.ConfirmReplace(path, {})) return true;
  outcome.kept.push_back(path);
  return false;
}

bool DumpRestore::RestoreFromFlacs(const HeldFile& file, Reporter& reporter, Outcome& outcome) {
  const std::string path = outputFolder_ + file.name;
  if (!MayReplace(path, reporter, outcome)) return false;
  OutputFile out;
  Checksums sums;
  uint64_t at = 0;
  std::string why;
  if (!out.CreateStaged(path)) {
    why = out.Error();
  } else if (Decode(file.name, &at, out, &sums, reporter, &why)) {
    const ChecksumDigests got = sums.Finish();
    if (got.size != file.size || got.sha1 != file.sha1) {
      why = "its FLACs give " + std::to_string(got.size) + " bytes that are not the dump's";
    } else if (!out.Commit()) {
      why = out.Error();
    }
  }
  if (stopped_ || !why.empty()) {
    out.Discard();
    if (!stopped_) AddFailure(outcome, "cannot restore " + path + ": " + why);
    return false;
  }
  outcome.written.push_back(path);
  return true;
}

// The cue sheet comes from the list, which holds its bytes, else from the copy kept beside the
// image, which must be the dump's. A file already there with those bytes is left as it is.
bool DumpRestore::CopyCueSheet(Reporter& reporter, Outcome& outcome) {
  if (list_.cueSheet.empty()) return true;
  const std::string from = folder_ + list_.cueSheet, to = outputFolder_ + list_.cueSheet;
  std::string bytes = list_.cueText;
  if (bytes.empty()) {
    const int error = ReadSmallFile(from, CUE_SHEET_MAX_SIZE, &bytes);
    if (error != 0 || !IsListedCueSheet(list_, bytes)) {
      AddFailure(outcome, "cannot restore " + list_.cueSheet + ": " +
                              (error == ENOENT ? from + " is missing"
                               : error == 0 || error == EFBIG
                                   ? from + " is not the dump's cue sheet"
                                   : "cannot read " + from + ": " + std::strerror(error)));
      return false;
    }
  }
  std::string there;
  if (ReadSmallFile(to, CUE_SHEET_MAX_SIZE, &there) == 0 && there == bytes) return true;
  if (!MayReplace(to, reporter, outcome)) return false;
  OutputFile out;
  if (!out.CreateStaged(to) || !out.Write(bytes.data(), bytes.size()) || !out.Commit()) {
    AddFailure(outcome, "cannot restore " + to + ": " + out.Error());
    out.Discard();
    return false;
  }
  outcome.written.push_back(to);
  return true;
}

void DumpRestore::RestoreOthers(Reporter& reporter, Outcome& outcome) {
  for (const HeldFile& file : list_.files) {
    if (file.name == list_.dataFile || file.name == list_.cueSheet) continue;
    stopped_ = stopped_ || reporter.StopRequested();
    if (stopped_) break;
    RestoreFromFlacs(file, reporter, outcome);
  }
  if (!stopped_) CopyCueSheet(reporter, outcome);
  if (stopped_) outcome.stopped = true;
}

}  // namespace quarnel
