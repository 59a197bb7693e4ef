// Completing, or undoing what can be undone of, a commit that a killed run left with its record.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "common/commit_group.h"
#include "common/commit_record.h"
#include "common/image_path.h"
#include "common/outcome.h"

namespace quarnel {

using commit::Exists;

namespace {

// "a and b remain; c is missing": what stands at `finals` now.
std::string Remains(const std::vector<std::string>& finals) {
  std::vector<std::string> there, missing;
  for (const std::string& f : finals) (Exists(f) ? there : missing).push_back(f);
  std::string out;
  if (!there.empty()) out = NameList(there) + (there.size() == 1 ? " remains" : " remain");
  if (!missing.empty()) {
    out += (out.empty() ? "" : "; ") + NameList(missing) + (missing.size() == 1 ? " is" : " are") +
           " missing, so the image must be made again";
  }
  return out;
}

// One interrupted commit of D, its record held locked until the repair ends.
class Repair {
 public:
  Repair(const std::string& dataFile, int fd)
      : dataFile_(dataFile),
        path_(dataFile + COMMIT_SUFFIX),
        folder_(FolderOf(dataFile)),
        fd_(fd) {}
  ~Repair() { ::close(fd_); }
  Repair(const Repair&) = delete;
  Repair& operator=(const Repair&) = delete;

  CommitRepair Run(const std::vector<std::string>& sideSuffixes);

 private:
  std::optional<CommitRepair> Survey();
  CommitRepair NothingPending() const;
  CommitRepair RollBack() const;
  CommitRepair Forward(size_t first) const;

  CommitRepair Refuse(const std::string& why) const;
  CommitRepair Finish(CommitRepair::Result result, const std::string& line) const;
  CommitRepair Failed(int error, const std::string& what) const;

  const std::string& dataFile_;
  const std::string path_;    // the record
  const std::string folder_;  // D's, where every name of the record lies
  const int fd_;
  commit::Record record_;
  // Per move of the record: its temporary, its final name, and whether the temporary is still
  // there to be renamed.
  std::vector<std::string> temporaries_, finals_;
  std::vector<bool> pending_;
};

CommitRepair Repair::Run(const std::vector<std::string>& sideSuffixes) {
  std::string bytes;
  if (!commit::ReadRecord(fd_, &bytes)) return Refuse("is too large or cannot be read");
  std::string why = commit::ParseRecord(bytes, &record_);
  if (why.empty()) why = commit::CheckRecord(record_, BareName(dataFile_), sideSuffixes);
  if (!why.empty()) return Refuse("is damaged: " + why);
  if (std::optional<CommitRepair> stop = Survey()) return *stop;

  // Renames go in order, so the files done form a prefix; the rest are still temporaries.
  size_t first = 0;
  while (first < pending_.size() && !pending_[first]) ++first;
  bool forward = true;
  for (size_t i = first; i < pending_.size(); ++i) forward = forward && pending_[i];
  if (first == pending_.size()) return NothingPending();
  if (!forward) return RollBack();
  return Forward(first);
}

// Which temporaries are still there. A repair ends here when one is not the file the interrupted
// run wrote, or cannot be looked at.
std::optional<CommitRepair> Repair::Survey() {
  for (const auto& [temporary, final] : record_.moves) {
    temporaries_.push_back(folder_ + temporary);
    finals_.push_back(folder_ + final);
    struct stat st;
    if (::lstat(temporaries_.back().c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        return Refuse("names " + temporaries_.back() +
                      ", which is not the file the interrupted run wrote");
      }
      pending_.push_back(true);
    } else if (errno == ENOENT) {
      pending_.push_back(false);
    } else {
      const int error = errno;
      return CommitRepair{CommitRepair::FAILED,
                          "cannot look at " + temporaries_.back() + ": " + std::strerror(error)};
    }
  }
  return std::nullopt;
}

// No temporary is left: every rename was done and only the record remained, or the temporaries
// were lost before their renames and the record is all there is to remove.
CommitRepair Repair::NothingPending() const {
  bool whole = true;
  for (const std::string& f : finals_) whole = whole && Exists(f);
  if (whole) {
    return Finish(CommitRepair::COMPLETED,
                  "finished the interrupted writing of " + NameList(finals_) +
                      ": its files were in place; removed its record " + path_);
  }
  return Finish(CommitRepair::ROLLED_BACK, "the interrupted writing of " + dataFile_ +
                                               " left no work files; removed its record " + path_ +
                                               "; " + Remains(finals_));
}

// A temporary that a later rename needs is gone: the commit cannot be completed, so the
// temporaries still there are removed with the record.
CommitRepair Repair::RollBack() const {
  std::vector<std::string> gone, removed;
  for (size_t i = 0; i < pending_.size(); ++i) {
    if (!pending_[i]) gone.push_back(temporaries_[i]);
    if (pending_[i] && ::unlink(temporaries_[i].c_str()) == 0) removed.push_back(temporaries_[i]);
  }
  return Finish(CommitRepair::ROLLED_BACK,
                "could not complete the interrupted writing of " + dataFile_ + ": " +
                    NameList(gone) + (gone.size() == 1 ? " is" : " are") + " gone; removed " +
                    NameList(removed) + " and the record " + path_ + "; " + Remains(finals_));
}

// Every temporary from `first` on is there: the commit's last steps are done again from there.
CommitRepair Repair::Forward(size_t first) const {
  // A name to hide that a finished rename already filled holds the new file: it stays.
  for (const std::string& name : record_.hide) {
    bool filled = false;
    for (size_t i = 0; i < first; ++i) filled = filled || finals_[i] == folder_ + name;
    if (!filled && ::unlink((folder_ + name).c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      return Failed(error, "cannot remove " + folder_ + name);
    }
  }
  for (size_t i = first; i < finals_.size(); ++i) {
    if (::rename(temporaries_[i].c_str(), finals_[i].c_str()) != 0) {
      const int error = errno;
      return Failed(error, "cannot rename " + temporaries_[i] + " onto " + finals_[i]);
    }
  }
  if (!SyncFolderOf(dataFile_)) {
    const int error = errno;
    return Failed(error, "cannot sync the folder of " + dataFile_);
  }
  return Finish(CommitRepair::COMPLETED,
                "completed the interrupted writing of " + NameList(finals_));
}

// The record is not one to act on: it stays, for a person to look at.
CommitRepair Repair::Refuse(const std::string& why) const {
  return CommitRepair{CommitRepair::REFUSED, "cannot complete the interrupted writing of " +
                                                 dataFile_ + ": its record " + path_ + " " + why +
                                                 "; it was left alone: remove it by hand once " +
                                                 dataFile_ + " is checked"};
}

// The repair is over: the record goes, while it is still held.
CommitRepair Repair::Finish(CommitRepair::Result result, const std::string& line) const {
  ::unlink(path_.c_str());
  SyncFolderOf(path_);
  return CommitRepair{result, line};
}

// An error midway: the record stays, so that the next command tries again.
CommitRepair Repair::Failed(int error, const std::string& what) const {
  return CommitRepair{CommitRepair::FAILED, what + ": " + std::strerror(error) + "; " + path_ +
                                                " stays, and the next command that opens " +
                                                dataFile_ + " tries again"};
}

}  // namespace

CommitRepair CompleteInterruptedCommit(const std::string& dataFile,
                                       const std::vector<std::string>& sideSuffixes) {
  CommitRepair repair;
  const int fd = commit::LockRecord(dataFile + COMMIT_SUFFIX, dataFile, repair);
  if (fd < 0) return repair;
  return Repair(dataFile, fd).Run(sideSuffixes);
}

}  // namespace quarnel
