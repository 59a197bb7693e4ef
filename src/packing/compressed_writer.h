// Writes a compressed image: blocks appended in order with their table entries, sections appended
// to the data file, then both files given their final names together. Until Commit() they exist
// only as temporaries (see OutputFile::CreateStaged).
#pragma once

#include <cstdint>
#include <string>

#include "common/output_file.h"
#include "packing/compressed_format.h"

namespace quarnel {

class CompressedWriter {
 public:
  // Stages `dataFile` and its side file for kind `mode`. False: Failed() names the file.
  bool Create(const std::string& dataFile, CompressionMode mode);

  // One stored block (at least 1 byte) and its table entry.
  bool AppendBlock(const uint8_t* stored, uint32_t length, const XaTag& tag);
  // Ends the block area: the closing offset of an ".index". Sections may follow in Data().
  bool EndBlocks();

  // Both files under their final names, the data file first. False: Failed() names the file.
  bool Commit();
  // Removes the temporaries; whatever stands at the final names stays.
  void Discard();

  // Pushes what the side file holds so far to its temporary, for a reader.
  bool FlushTable() { return table_.Flush(); }
  OutputFile& Data() { return data_; }
  const OutputFile& Table() const { return table_; }
  uint32_t Blocks() const { return blocks_; }
  // The file whose create, write or commit failed, or nullptr.
  const OutputFile* Failed() const;

 private:
  OutputFile data_;
  OutputFile table_;
  CompressionMode mode_ = CompressionMode::Zlib;
  uint32_t offset_ = 0;  // where the next block goes
  uint32_t blocks_ = 0;
};

}  // namespace quarnel
