#include "common/commit_group.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/commit_record.h"
#include "common/image_path.h"
#include "common/outcome.h"
#include "common/temporary_files.h"

namespace quarnel {

using commit::EncodeRecord;
using commit::Exists;

namespace {

int killAfterStep = 0;
bool killIsHardExit = false;
CommitGroup::Fault fault = CommitGroup::Fault::NONE;
size_t faultFile = 0;
int faultError = EIO;

// A failure blamed on `f` before anything was replaced.
bool Blame(CommitResult& result, const OutputFile& f, const std::string& line) {
  result.failedFile = f.Path();
  result.error = f.Errno();
  result.line = line;
  return false;
}

// Every file is staged beside D, and so is every name to hide: the renames stay in one folder,
// where one record can name them all.
bool CheckPlaces(const std::vector<OutputFile*>& files, const std::vector<std::string>& hide,
                 CommitResult& result) {
  const std::string folder = FolderOf(files[0]->Path());
  for (const OutputFile* f : files) {
    if (!f->Staged() || FolderOf(f->Path()) != folder) {
      return Blame(
          result, *f,
          "cannot commit " + f->Path() + ": it is no staged file beside " + files[0]->Path());
    }
  }
  for (const std::string& name : hide) {
    if (FolderOf(name) != folder) {
      return Blame(result, *files[0],
                   "cannot commit " + files[0]->Path() + ": " + name +
                       " to be removed first is not beside it");
    }
  }
  return true;
}

// Step 3: 0 when every name to hide is gone, else the error, with the name in `failed`.
int RemoveHidden(const std::vector<std::string>& hide, std::string* failed) {
  for (const std::string& name : hide) {
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      *failed = name;
      return error;
    }
  }
  return 0;
}

}  // namespace

void CommitGroup::KillAfterStepForTesting(int step, bool hardExit) {
  killAfterStep = step;
  killIsHardExit = hardExit;
}

void CommitGroup::FailForTesting(Fault which, size_t file, int error) {
  fault = which;
  faultFile = file;
  faultError = error;
}

CommitGroup::CommitGroup(std::vector<OutputFile*> files, std::vector<std::string> hide)
    : files_(std::move(files)), hide_(std::move(hide)) {}

void CommitGroup::CloseAll() {
  for (OutputFile* f : files_) f->Close();
  record_.Close();
}

// As a SIGKILL after `step` would: everything stays on disk, nothing is cleaned up. A hard exit
// (a second Ctrl-C) first removes the temporaries still listed.
bool CommitGroup::Killed(int step) {
  if (killAfterStep != step) return false;
  if (killIsHardExit) UnlinkTemporaryFiles();
  for (OutputFile* f : files_) f->KeepTemporary();
  record_.KeepTemporary();
  CloseAll();
  return true;
}

CommitResult CommitGroup::Commit() {
  CommitResult result;
  if (files_.empty()) return result;
  if (!CheckPlaces(files_, hide_, result)) return result;
  for (size_t i = 0; i < files_.size(); ++i) {
    OutputFile& f = *files_[i];
    if (fault == Fault::SYNC && faultFile == i) f.Fail(faultError);
    if (!f.Sync()) {
      Blame(result, f, f.Error() + "; nothing was replaced");
      return result;
    }
  }
  if (Killed(1)) return result;

  if (!WriteRecord(result)) return result;
  result.recorded = true;
  if (Killed(2)) return result;
  for (OutputFile* f : files_) f->KeepTemporary();

  std::string hidden;
  if (const int error = RemoveHidden(hide_, &hidden); error != 0) {
    FailAfterRecord(result, hidden, error, "cannot remove " + hidden);
    return result;
  }
  if (Killed(3)) return result;

  for (size_t i = 0; i < files_.size(); ++i) {
    OutputFile& f = *files_[i];
    const std::string from = f.TemporaryPath();
    int error = fault == Fault::RENAME && faultFile == i ? faultError : 0;
    if (error == 0 && ::rename(from.c_str(), f.Path().c_str()) != 0) error = errno;
    if (error != 0) {
      FailAfterRecord(result, f.Path(), error, "cannot rename " + from + " onto " + f.Path());
      return result;
    }
    f.Renamed();
    if (Killed(4 + static_cast<int>(i))) return result;
  }
  if (!SyncFolderOf(files_[0]->Path())) {
    const int error = errno;
    FailAfterRecord(result, files_[0]->Path(), error,
                    "cannot sync the folder of " + files_[0]->Path());
    return result;
  }
  // Every file is in place and lasting: a record left by a failed removal is merely removed by
  // the next command that opens D.
  const std::string record = files_[0]->Path() + COMMIT_SUFFIX;
  ::unlink(record.c_str());
  SyncFolderOf(record);
  CloseAll();
  result.done = true;
  result.recorded = false;
  return result;
}

bool CommitGroup::WriteRecord(CommitResult& result) {
  const std::string& data = files_[0]->Path();
  const std::string path = data + COMMIT_SUFFIX;
  const auto fail = [&](int error, const std::string& why) {
    record_.Discard();
    result.failedFile = path;
    result.error = error;
    result.line = why + "; nothing was replaced";
    files_[0]->Fail(error, result.line);
    return false;
  };
  if (Exists(path)) {
    return fail(EEXIST, "cannot write the commit record " + path +
                            ": one stands there already, from an unfinished writing of " + data);
  }
  const std::string bytes = EncodeRecord(files_, hide_);
  if (!record_.CreateStaged(path, bytes.size()) || !record_.Write(bytes.data(), bytes.size()) ||
      !record_.Sync()) {
    return fail(record_.Errno(), record_.Error());
  }
  // From the rename on, a hard exit must leave what the record names; should the record fail,
  // the files are still theirs to discard.
  for (OutputFile* f : files_) f->Unlist();
  if (::rename(record_.TemporaryPath().c_str(), path.c_str()) != 0) {
    const int error = errno;
    return fail(error, "cannot rename " + record_.TemporaryPath() + " onto " + path + ": " +
                           std::strerror(error));
  }
  // It is the record now, held locked so that no other run completes this commit meanwhile.
  record_.Renamed();
  if (!SyncFolderOf(path)) {
    const int error = errno;
    ::unlink(path.c_str());
    return fail(error, "cannot sync the folder of " + path + ": " + std::strerror(error));
  }
  return true;
}

bool CommitGroup::FailAfterRecord(CommitResult& result, const std::string& file, int error,
                                  const std::string& what) {
  std::vector<std::string> renamed;
  std::string line = what + ": " + std::strerror(error);
  for (const OutputFile* f : files_) {
    if (!f->Staged()) {
      renamed.push_back(f->Path());
    }
  }
  if (!renamed.empty()) {
    line +=
        "; " + NameList(renamed) + (renamed.size() == 1 ? " holds" : " hold") + " the new version";
  }
  for (const OutputFile* f : files_) {
    if (f->Staged()) line += "; " + f->Path() + " is complete in " + f->TemporaryPath();
  }
  line += "; the next command that opens " + files_[0]->Path() + " finishes the writing";
  // The file blamed is the one at `file`, else the last (a removed name is the old side file).
  OutputFile* blamed = files_.back();
  for (OutputFile* f : files_) {
    if (f->Path() == file) blamed = f;
  }
  blamed->Fail(error, line);
  result.failedFile = file;
  result.error = error;
  result.line = line;
  // Unlocked, so that the next command can complete it.
  CloseAll();
  return false;
}

}  // namespace quarnel
