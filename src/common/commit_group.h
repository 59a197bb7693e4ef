// Outputs that only make sense together, such as a data file D and the side file T a reader needs
// beside it, given their final names as one: a reader finds the old pair whole, no pair, or the
// new pair whole, never a new file beside an old one, whenever the run is killed.
//
// Commit() runs these steps; a kill after any of them leaves a state the next run reads or
// completes:
//   1. every temporary is flushed and fsynced (killed here: the old files stand, the
//      temporaries are leftovers the next run removes);
//   2. a record D.commit naming every temporary, its final name and the names to hide is written
//      through its own temporary, fsynced and renamed into place; from here on the temporaries
//      are the new output, to be completed, never removed;
//   3. the names to hide (the old T) are removed: no pair stands until the new T does;
//   4. the temporaries are renamed onto their final names, D first, T last;
//   5. the record is removed.
// CompleteInterruptedCommit() finishes a commit whose record remains; every command calls it
// before it opens D.
//
// The record: the line "quarnel-commit-1", then fields each ended by a NUL byte (no file name
// holds one): "hide" NAME, "move" TEMPORARY FINAL (D's first), and "end". Names are bare names in
// D's folder.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

#include "common/output_file.h"

namespace quarnel {

constexpr char COMMIT_SUFFIX[] = ".commit";
// The list of a dump's files that is committed beside a compressed image (see dump_list.h).
constexpr char DUMP_LIST_SUFFIX[] = ".dump";

struct CommitResult {
  bool done = false;      // every file under its final name, the record gone
  bool recorded = false;  // failed after the record was written: the files stay, to be completed
  std::string failedFile;
  int error = 0;
  // On failure, one sentence (no "ERROR: "): what failed, and which names hold what.
  std::string line;
};

struct CommitRepair {
  enum Result {
    NONE,         // no record: nothing was interrupted
    COMPLETED,    // the interrupted commit was finished
    ROLLED_BACK,  // its temporaries were gone: what could be was undone, the record removed
    BUSY,         // another run holds the record: it is committing now
    REFUSED,      // the record is damaged or names files it may not: left alone
    FAILED,       // an error while completing: the record stays for the next try
  };
  Result result = NONE;
  std::string line;  // one sentence for the log, "" for NONE

  // Whether D must be neither opened nor written: the commit is unfinished.
  bool Blocks() const { return result == BUSY || result == REFUSED || result == FAILED; }
};

class CommitGroup {
 public:
  // `files`: staged outputs, open and written, D first. `hide`: names removed before any rename
  // (the old side file), in D's folder.
  CommitGroup(std::vector<OutputFile*> files, std::vector<std::string> hide);
  CommitGroup(const CommitGroup&) = delete;
  CommitGroup& operator=(const CommitGroup&) = delete;

  // Not done and not recorded: nothing was renamed or removed; the caller discards the files.
  // Recorded: nothing may be removed; the line says where the new output lies.
  CommitResult Commit();

  // Steps 1 to 3, then 4 for every file renamed: after step `step` (0: never) Commit() returns
  // at once with everything on disk as a SIGKILL would leave it, nothing cleaned up; with
  // `hardExit`, as a second Ctrl-C would leave it: the listed temporaries removed.
  static void KillAfterStepForTesting(int step, bool hardExit = false);
  enum class Fault { NONE, SYNC, RENAME };
  // The next commits fail the fsync or the rename of file `file` with `error`.
  static void FailForTesting(Fault fault, size_t file = 0, int error = EIO);

 private:
  bool Killed(int step);
  bool WriteRecord(CommitResult& result);
  bool FailAfterRecord(CommitResult& result, const std::string& file, int error,
                       const std::string& what);
  void CloseAll();

  std::vector<OutputFile*> files_;
  std::vector<std::string> hide_;
  OutputFile record_;
};

// Completes, or undoes what it can of, a commit of `dataFile` whose record remains. The record is
// acted on only when it is whole and names nothing but D, D plus one of `sideSuffixes`, the files
// kept beside D (*.flac, *.cue, D.dump), and their temporaries, all in D's folder.
CommitRepair CompleteInterruptedCommit(const std::string& dataFile,
                                       const std::vector<std::string>& sideSuffixes);

}  // namespace quarnel
