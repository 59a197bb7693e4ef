#include "packing/dump_restore.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "analysis/cue_sheet.h"
#include "common/commit_group.h"
#include "common/image_path.h"
#include "packing/flac_tracks.h"

namespace quarnel {

namespace {

// The digest of Checksums a restore reads (UpdatePart's SHA-1); the size is counted apart.

// Joins several failures into the one the outcome reports.
void AddFailure(Outcome& outcome, const std::string& why) {
  if (outcome.error.empty()) {
    outcome.error = why;
  } else {
    outcome.error += "; " + why;
  }
}

// Records that `path`, written through `out`, failed. A commit that failed only in syncing the
// folder left the file whole under its name: it counts as written, and its line says it may not
// last.
void FailOutput(Outcome& outcome, OutputFile& out, const std::string& path,
                const std::string& why) {
  out.Discard();
  if (out.HasFinalName()) {
    outcome.written.push_back(path);
    AddFailure(outcome, why);
  } else {
    AddFailure(outcome, "cannot restore " + path + ": " + why);
  }
}

}  // namespace

DumpRestore::DumpRestore() = default;
DumpRestore::~DumpRestore() = default;

bool DumpRestore::Load(const std::string& dataFile, const std::string& outputFolder) {
  folder_ = FolderOf(dataFile);
  outputFolder_ = outputFolder;
  if (!ReadDumpList(dataFile + DUMP_LIST_SUFFIX, &list_, &exists_, &error_)) return false;
  // Each FLAC's tags are read once, for all the files they may hold.
  for (const std::string& flac : list_.flacs) {
    KeptFlac kept{flac, {}, {}};
    ReadFlacRange(folder_ + flac, &kept.range, &kept.error);
    flacs_.push_back(std::move(kept));
  }
  return true;
}

// Decodes the FLACs that hold `file`, in the order of their ranges from `*at` on, into `out`,
// and the bytes' SHA-1 into `sums` (may be null).
bool DumpRestore::Decode(const std::string& name, uint64_t* at, OutputFile& out, Checksums* sums,
                         Reporter& reporter, std::string* why) {
  std::vector<const KeptFlac*> parts;
  for (const KeptFlac& flac : flacs_) {
    if (!flac.error.empty()) {
      // A FLAC whose tags cannot be read may be this file's: it is missing either way.
      if (flac.name.rfind(name, 0) == 0) {
        *why = "cannot restore from " + folder_ + flac.name + ": " + flac.error;
        return false;
      }
    } else if (flac.range.file == name) {
      parts.push_back(&flac);
    }
  }
  std::sort(parts.begin(), parts.end(),
            [](const KeptFlac* a, const KeptFlac* b) { return a->range.offset < b->range.offset; });
  const auto sink = [&](const uint8_t* bytes, size_t n) {
    if (sums != nullptr) sums->UpdatePart(Checksums::SHA1_PART, bytes, n);
    return out.Write(bytes, n);
  };
  const auto poll = [&] {
    reporter.Pump();
    return reporter.StopRequested();
  };
  for (const KeptFlac* part : parts) {
    const std::string path = folder_ + part->name;
    if (part->range.offset != *at) {
      *why = path + " holds bytes from " + std::to_string(part->range.offset) + " of " + name +
             ", not from " + std::to_string(*at);
      return false;
    }
    std::string cause;
    if (!DecodeFlac(path, nullptr, sink, poll, &cause, &stopped_)) {
      *why = out.Failed() ? out.Error() : "cannot restore from " + path + ": " + cause;
      return false;
    }
    *at += part->range.length;
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
    if (at != file.size || sums.Finish().sha1 != file.sha1) {
      why = "its FLACs give " + std::to_string(at) + " bytes that are not the dump's";
    } else if (!out.Commit()) {
      why = out.Error();
    }
  }
  if (stopped_) {
    out.Discard();
    return false;
  }
  if (!why.empty()) {
    FailOutput(outcome, out, path, why);
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
    FailOutput(outcome, out, to, out.Error());
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
