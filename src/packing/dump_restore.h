// The rest of a dump, restored beside its data track file when the list of the dump's files stands
// beside the compressed image: the other track files from their FLACs (a single image's audio
// tracks are appended to it), and the cue sheet. Every file is checked against the list's size and
// SHA-1 before it takes its name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/checksums.h"
#include "common/outcome.h"
#include "common/output_file.h"
#include "common/reporter.h"
#include "packing/dump_list.h"
#include "packing/flac_tracks.h"

namespace quarnel {

class DumpRestore {
 public:
  DumpRestore();
  ~DumpRestore();

  // Reads the list beside `dataFile`, and the tags of its FLACs. False with Error() for a damaged
  // list; true with Exists() false when there is none. `outputFolder` (with its slash, "" for the
  // current folder) is where the restored files go.
  bool Load(const std::string& dataFile, const std::string& outputFolder);
  bool Exists() const { return exists_; }
  const DumpList& List() const { return list_; }
  const std::string& Error() const { return error_; }

  // A single image whose audio tracks are kept as FLAC: the blocks give only its first
  // PrefixLength() bytes (0: the blocks give the data file whole).
  uint64_t PrefixLength() const { return list_.prefixLength; }
  // Appends the data file's FLACs to `out`, which holds its prefix, feeding them to the SHA-1 of
  // `sums` (the one digest read of it);
  // false with `why` naming the FLAC that is missing or damaged (the caller then restores the
  // block area alone), or with Stopped().
  bool AppendDataFileTail(OutputFile& out, Checksums& sums, Reporter& reporter, std::string* why);
  // The stop token ended a FLAC's decoding: a stop, not a failure.
  bool Stopped() const { return stopped_; }
  // Whether `restored` (the data file as written) is the dump's: ripped media make it another.
  std::string CheckDataFile(const ChecksumDigests& restored) const;

  // Restores every other file of the dump (track files and the cue sheet), each staged and given
  // its name when whole and checked; an existing file is replaced only with the reporter's
  // consent. What was written, kept and failed goes into `outcome` (a failure names the FLAC),
  // and whether a stop ended it; the data file's own outcome is the caller's.
  void RestoreOthers(Reporter& reporter, Outcome& outcome);

 private:
  bool RestoreFromFlacs(const HeldFile& file, Reporter& reporter, Outcome& outcome);
  bool CopyCueSheet(Reporter& reporter, Outcome& outcome);
  bool Decode(const std::string& name, uint64_t* at, OutputFile& out, Checksums* sums,
              Reporter& reporter, std::string* why);
  bool MayReplace(const std::string& path, Reporter& reporter, Outcome& outcome);

  // A FLAC of the list, and what its tags say it restores.
  struct KeptFlac {
    std::string name;  // as the list gives it
    FlacRange range;
    std::string error;  // its tags could not be read: why
  };

  std::string folder_;        // the compressed image's, with its slash
  std::string outputFolder_;  // where the restored files go
  DumpList list_;
  std::vector<KeptFlac> flacs_;
  bool exists_ = false;
  bool stopped_ = false;
  std::string error_;
};

}  // namespace quarnel
