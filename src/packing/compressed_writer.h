// Writes a compressed image: blocks appended in order with their table entries, sections appended
// to the data file, then both files given their final names as one (see CommitGroup): a reader
// finds the old image whole, no image, or the new one whole. Until Commit() they exist only as
// temporaries (see OutputFile::CreateStaged).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/commit_group.h"
#include "common/output_file.h"
#include "packing/compressed_format.h"

namespace quarnel {

class CompressedWriter {
 public:
  // Completes an interrupted commit of the same names first (RepairLine() says what it did),
  // then stages `dataFile` and its side file for kind `mode`. False: Failed() names the file and
  // Error() says why: a name too long for the work files beside it, a commit record that is busy
  // or damaged, a temporary another run writes or that is a hard link, or an errno.
  bool Create(const std::string& dataFile, CompressionMode mode);

  // One stored block (at least 1 byte) and its table entry.
  bool AppendBlock(const uint8_t* stored, uint32_t length, const XaTag& tag);
  // Ends the block area: the closing offset of an ".index". Sections may follow in Data().
  bool EndBlocks();

  // Both files under their final names, the data file first and the side file last, the old side
  // file removed before. False: Failed() names the file and Error() says what failed and which
  // names hold what; when Recorded(), the new image is complete on disk and the next Open() or
  // Create() of it finishes the commit, so nothing may be reported as removed.
  bool Commit();
  // Removes the temporaries, unless a commit record names them; whatever stands at the final
  // names stays.
  void Discard();

  // A staged file in the data file's folder that takes its final name with the image, in the same
  // commit (a FLAC of an audio track, the kept cue sheet, the list of the dump's files). The caller
  // keeps it and discards it when the image is not committed.
  void AddCompanion(OutputFile& file) { companions_.push_back(&file); }

  // Pushes what the side file holds so far to its temporary, for a reader.
  bool FlushTable() { return table_.Flush(); }
  OutputFile& Data() { return data_; }
  const OutputFile& Table() const { return table_; }
  uint32_t Blocks() const { return blocks_; }
  // The bytes of the stored blocks, without the sections behind them.
  uint64_t BlockAreaBytes() const { return offset_; }
  // The file whose create, write or commit failed, or nullptr.
  const OutputFile* Failed() const;
  // One sentence (no "ERROR: ") saying what failed; "" when nothing did.
  std::string Error() const;
  bool Recorded() const { return commit_.recorded; }
  // What completing an interrupted commit did in Create(), for the log; "" when there was none.
  const std::string& RepairLine() const { return repair_.line; }

  // The first of the image's names (data file, then side file) whose work files would not fit
  // beside it, or "": checked before a run starts.
  static std::string NameTooLong(const std::string& dataFile, CompressionMode mode);

 private:
  OutputFile data_;
  OutputFile table_;
  std::vector<OutputFile*> companions_;
  CommitResult commit_;
  CommitRepair repair_;
  CompressionMode mode_ = CompressionMode::Zlib;
  uint32_t offset_ = 0;  // where the next block goes
  uint32_t blocks_ = 0;
};

}  // namespace quarnel
