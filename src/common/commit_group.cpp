#include "common/commit_group.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <utility>

namespace quarnel {

namespace {

constexpr char RECORD_MAGIC[] = "quarnel-commit-1\n";
// D, its side file, and what lies beside them: a FLAC per audio track (at most 98), the cue sheet
// and the dump's list.
constexpr size_t MAX_ENTRIES = 110;
// Room for MAX_ENTRIES moves and hides of the longest names, and no more.
constexpr size_t MAX_RECORD_SIZE = sizeof RECORD_MAGIC + MAX_ENTRIES * 3 * (NAME_MAX + 8) + 8;

int killAfterStep = 0;
CommitGroup::Fault fault = CommitGroup::Fault::NONE;
size_t faultFile = 0;
int faultError = EIO;

std::string Strerror(int error) {
  return std::strerror(error);
}

// The folder part of `path`, with its slash: what a bare name in that folder is put after.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BareName(const std::string& path) {
  return path.substr(FolderOf(path).size());
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// "a", "a and b", "a, b and c".
std::string Join(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  }
  return out;
}

// A name read from a record, safe to print: control bytes shown as '?', long names cut.
std::string Printable(const std::string& name) {
  std::string out = name.substr(0, 80);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out + (name.size() > 80 ? "..." : "");
}

struct Record {
  std::vector<std::string> hide;
  std::vector<std::pair<std::string, std::string>> moves;  // temporary, final
};

std::string EncodeRecord(const std::vector<OutputFile*>& files,
                         const std::vector<std::string>& hide) {
  std::string out = RECORD_MAGIC;
  const auto field = [&out](const std::string& s) {
    out += s;
    out.push_back('\0');
  };
  for (const std::string& name : hide) {
    field("hide");
    field(BareName(name));
  }
  for (const OutputFile* f : files) {
    field("move");
    field(BareName(f->TemporaryPath()));
    field(BareName(f->Path()));
  }
  field("end");
  return out;
}

// "" when `bytes` is a whole record, else why it is damaged.
std::string ParseRecord(const std::string& bytes, Record* record) {
  const size_t magic = sizeof RECORD_MAGIC - 1;
  if (bytes.compare(0, magic, RECORD_MAGIC) != 0) return "it does not begin as a commit record";
  size_t at = magic;
  const auto next = [&](std::string* field) {
    const size_t end = bytes.find('\0', at);
    if (end == std::string::npos) return false;
    *field = bytes.substr(at, end - at);
    at = end + 1;
    return true;
  };
  std::string key, a, b;
  for (;;) {
    if (!next(&key)) return "it is cut short";
    if (key == "end") break;
    if (key == "hide" && next(&a)) {
      record->hide.push_back(a);
    } else if (key == "move" && next(&a) && next(&b)) {
      record->moves.emplace_back(a, b);
    } else {
      return "it holds a field this program does not write";
    }
    if (record->hide.size() + record->moves.size() > MAX_ENTRIES) return "it names too many files";
  }
  if (at != bytes.size()) return "it goes on after its end";
  if (record->moves.empty()) return "it names no file";
  return {};
}

// Files that are committed with an image beside it: the lossless audio tracks, the cue sheet and
// the list of the dump's files.
bool IsCompanion(const std::string& name, const std::string& base) {
  const auto endsWith = [&](const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (name.size() <= n) return false;
    for (size_t i = 0; i < n; ++i) {
      if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != suffix[i]) {
        return false;
      }
    }
    return true;
  };
  return endsWith(".flac") || endsWith(".cue") || name == base + DUMP_LIST_SUFFIX;
}

// "" when every name of `record` is one D's commit may touch: D, D plus a side suffix, the files
// committed beside D, and their temporaries, all bare names in D's folder. Else why not.
std::string CheckRecord(const Record& record, const std::string& base,
                        const std::vector<std::string>& sideSuffixes) {
  const auto inFolder = [](const std::string& n) {
    return !n.empty() && n.size() <= NAME_MAX && n.find('/') == std::string::npos && n != "." &&
           n != "..";
  };
  const auto isSide = [&](const std::string& n) {
    for (const std::string& s : sideSuffixes) {
      if (n == base + s) return true;
    }
    return false;
  };
  const auto outside = [&](const std::string& n) {
    return "it names " + Printable(n) + ", which is not a file of " + base + " in its folder";
  };
  std::vector<std::string> finals;
  for (size_t i = 0; i < record.moves.size(); ++i) {
    const auto& [temporary, final] = record.moves[i];
    if (!inFolder(temporary)) return outside(temporary);
    if (!inFolder(final) || !(i == 0 ? final == base : isSide(final) || IsCompanion(final, base))) {
      return outside(final);
    }
    if (temporary != final + PARTIAL_SUFFIX) return outside(temporary);
    for (const std::string& seen : finals) {
      if (seen == final) return "it names " + final + " twice";
    }
    finals.push_back(final);
  }
  for (const std::string& name : record.hide) {
    if (!inFolder(name) || !isSide(name)) return outside(name);
  }
  return {};
}

// Opens and locks the record at `path`: its descriptor, or -1 with `repair` saying why not (NONE
// when there is no record).
int LockRecord(const std::string& path, const std::string& dataFile, CommitRepair& repair) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      const int error = errno;
      // No record can stand where its name cannot: an image with a long name still opens.
      if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) return -1;
      repair = {CommitRepair::FAILED, "cannot read " + path + ": " + Strerror(error)};
      return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
      repair = {CommitRepair::REFUSED,
                path +
                    " is not a commit record this program wrote; it was left alone: remove it "
                    "by hand once " +
                    dataFile + " is checked"};
      return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT) continue;
      repair = {CommitRepair::FAILED, "cannot read " + path + ": " + Strerror(error)};
      return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      repair =
          error == EWOULDBLOCK
              ? CommitRepair{CommitRepair::BUSY,
                             dataFile + " is busy: another run is finishing writing it"}
              : CommitRepair{CommitRepair::FAILED, "cannot lock " + path + ": " + Strerror(error)};
      return -1;
    }
    struct stat open, named;
    if (::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
        open.st_ino == named.st_ino && open.st_dev == named.st_dev) {
      return fd;
    }
    ::close(fd);  // finished and removed by another run meanwhile; look again
  }
  repair = {CommitRepair::BUSY, dataFile + " is busy: other runs are finishing writing it"};
  return -1;
}

// Reads the whole record behind `fd`, at most MAX_RECORD_SIZE bytes; false when it is larger or
// cannot be read.
bool ReadRecord(int fd, std::string* bytes) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size < 0 ||
      static_cast<uint64_t>(st.st_size) > MAX_RECORD_SIZE) {
    return false;
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes->size()) {
    const ssize_t n =
        ::pread(fd, bytes->data() + got, bytes->size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// "a and b remain; c is missing": what stands at `finals` now.
std::string Remains(const std::vector<std::string>& finals) {
  std::vector<std::string> there, missing;
  for (const std::string& f : finals) (Exists(f) ? there : missing).push_back(f);
  std::string out;
  if (!there.empty()) out = Join(there) + (there.size() == 1 ? " remains" : " remain");
  if (!missing.empty()) {
    out += (out.empty() ? "" : "; ") + Join(missing) + (missing.size() == 1 ? " is" : " are") +
           " missing, so the image must be made again";
  }
  return out;
}

}  // namespace

void CommitGroup::KillAfterStepForTesting(int step) {
  killAfterStep = step;
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

// As a SIGKILL after `step` would: everything stays on disk, nothing is cleaned up.
bool CommitGroup::Killed(int step) {
  if (killAfterStep != step) return false;
  for (OutputFile* f : files_) f->KeepTemporary();
  record_.KeepTemporary();
  CloseAll();
  return true;
}

CommitResult CommitGroup::Commit() {
  CommitResult result;
  const auto failed = [&](const OutputFile& f, const std::string& line) {
    result.failedFile = f.Path();
    result.error = f.Errno();
    result.line = line;
    return result;
  };
  if (files_.empty()) return result;
  const std::string folder = FolderOf(files_[0]->Path());
  for (const OutputFile* f : files_) {
    if (!f->Staged() || FolderOf(f->Path()) != folder) {
      return failed(
          *f, "cannot commit " + f->Path() + ": it is no staged file beside " + files_[0]->Path());
    }
  }
  for (const std::string& name : hide_) {
    if (FolderOf(name) != folder) {
      return failed(*files_[0], "cannot commit " + files_[0]->Path() + ": " + name +
                                    " to be removed first is not beside it");
    }
  }

  for (size_t i = 0; i < files_.size(); ++i) {
    OutputFile& f = *files_[i];
    if (fault == Fault::SYNC && faultFile == i) f.Fail(faultError);
    if (!f.Sync()) return failed(f, f.Error() + "; nothing was replaced");
  }
  if (Killed(1)) return result;

  if (!WriteRecord(result)) return result;
  for (OutputFile* f : files_) f->KeepTemporary();
  result.recorded = true;
  if (Killed(2)) return result;

  for (const std::string& name : hide_) {
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      FailAfterRecord(result, name, error, "cannot remove " + name);
      return result;
    }
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
  if (::rename(record_.TemporaryPath().c_str(), path.c_str()) != 0) {
    const int error = errno;
    return fail(error, "cannot rename " + record_.TemporaryPath() + " onto " + path + ": " +
                           Strerror(error));
  }
  // It is the record now, held locked so that no other run completes this commit meanwhile.
  record_.Renamed();
  if (!SyncFolderOf(path)) {
    const int error = errno;
    ::unlink(path.c_str());
    return fail(error, "cannot sync the folder of " + path + ": " + Strerror(error));
  }
  return true;
}

bool CommitGroup::FailAfterRecord(CommitResult& result, const std::string& file, int error,
                                  const std::string& what) {
  std::vector<std::string> renamed;
  std::string line = what + ": " + Strerror(error);
  for (const OutputFile* f : files_) {
    if (!f->Staged()) {
      renamed.push_back(f->Path());
    }
  }
  if (!renamed.empty()) {
    line += "; " + Join(renamed) + (renamed.size() == 1 ? " holds" : " hold") + " the new version";
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

CommitRepair CompleteInterruptedCommit(const std::string& dataFile,
                                       const std::vector<std::string>& sideSuffixes) {
  const std::string path = dataFile + COMMIT_SUFFIX;
  CommitRepair repair;
  const int fd = LockRecord(path, dataFile, repair);
  if (fd < 0) return repair;
  const auto refuse = [&](const std::string& why) {
    ::close(fd);
    return CommitRepair{CommitRepair::REFUSED, "cannot complete the interrupted writing of " +
                                                   dataFile + ": its record " + path + " " + why +
                                                   "; it was left alone: remove it by hand once " +
                                                   dataFile + " is checked"};
  };
  std::string bytes;
  if (!ReadRecord(fd, &bytes)) return refuse("is too large or cannot be read");
  Record record;
  std::string why = ParseRecord(bytes, &record);
  if (why.empty()) why = CheckRecord(record, BareName(dataFile), sideSuffixes);
  if (!why.empty()) return refuse("is damaged: " + why);

  const std::string folder = FolderOf(dataFile);
  std::vector<std::string> finals, temporaries;
  std::vector<bool> pending;
  for (const auto& [temporary, final] : record.moves) {
    temporaries.push_back(folder + temporary);
    finals.push_back(folder + final);
    struct stat st;
    if (::lstat(temporaries.back().c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        return refuse("names " + temporaries.back() +
                      ", which is not the file the interrupted run wrote");
      }
      pending.push_back(true);
    } else if (errno == ENOENT) {
      pending.push_back(false);
    } else {
      const int error = errno;
      ::close(fd);
      return {CommitRepair::FAILED,
              "cannot look at " + temporaries.back() + ": " + Strerror(error)};
    }
  }
  // Renames go in order, so the files done form a prefix; the rest are still temporaries.
  size_t first = 0;
  while (first < pending.size() && !pending[first]) ++first;
  bool forward = true;
  for (size_t i = first; i < pending.size(); ++i) forward = forward && pending[i];

  const auto finish = [&](CommitRepair::Result result, const std::string& line) {
    ::unlink(path.c_str());
    SyncFolderOf(path);
    ::close(fd);
    return CommitRepair{result, line};
  };
  const auto failed = [&](int error, const std::string& what) {
    const std::string line = what + ": " + Strerror(error) + "; " + path +
                             " stays, and the next command that opens " + dataFile + " tries again";
    ::close(fd);
    return CommitRepair{CommitRepair::FAILED, line};
  };

  if (first == pending.size()) {
    bool whole = true;
    for (const std::string& f : finals) whole = whole && Exists(f);
    if (whole) {
      return finish(CommitRepair::COMPLETED, "finished the interrupted writing of " + Join(finals) +
                                                 ": its files were in place; removed its record " +
                                                 path);
    }
    return finish(CommitRepair::ROLLED_BACK, "the interrupted writing of " + dataFile +
                                                 " left no work files; removed its record " + path +
                                                 "; " + Remains(finals));
  }
  if (!forward) {
    std::vector<std::string> gone, removed;
    for (size_t i = 0; i < pending.size(); ++i) {
      if (!pending[i]) gone.push_back(temporaries[i]);
      if (pending[i] && ::unlink(temporaries[i].c_str()) == 0) removed.push_back(temporaries[i]);
    }
    return finish(CommitRepair::ROLLED_BACK,
                  "could not complete the interrupted writing of " + dataFile + ": " + Join(gone) +
                      (gone.size() == 1 ? " is" : " are") + " gone; removed " + Join(removed) +
                      " and the record " + path + "; " + Remains(finals));
  }
  // A name to hide that a finished rename already filled holds the new file: it stays.
  for (const std::string& name : record.hide) {
    bool filled = false;
    for (size_t i = 0; i < first; ++i) filled = filled || finals[i] == folder + name;
    if (!filled && ::unlink((folder + name).c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      return failed(error, "cannot remove " + folder + name);
    }
  }
  for (size_t i = first; i < finals.size(); ++i) {
    if (::rename(temporaries[i].c_str(), finals[i].c_str()) != 0) {
      const int error = errno;
      return failed(error, "cannot rename " + temporaries[i] + " onto " + finals[i]);
    }
  }
  if (!SyncFolderOf(dataFile)) {
    const int error = errno;
    return failed(error, "cannot sync the folder of " + dataFile);
  }
  return finish(CommitRepair::COMPLETED, "completed the interrupted writing of " + Join(finals));
}

}  // namespace quarnel
