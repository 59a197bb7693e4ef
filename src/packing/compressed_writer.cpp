#include "packing/compressed_writer.h"

namespace quarnel {

bool CompressedWriter::Create(const std::string& dataFile, CompressionMode mode) {
  mode_ = mode;
  offset_ = 0;
  blocks_ = 0;
  return data_.CreateStaged(dataFile) && table_.CreateStaged(dataFile + KindOf(mode).tableSuffix);
}

bool CompressedWriter::AppendBlock(const uint8_t* stored, uint32_t length, const XaTag& tag) {
  uint8_t entry[16];
  const size_t entrySize = EncodeBlockEntry(entry, mode_, offset_, length, tag);
  if (!table_.Write(entry, entrySize) || !data_.Write(stored, length)) return false;
  offset_ += length;
  blocks_ += 1;
  return true;
}

bool CompressedWriter::EndBlocks() {
  if (!KindOf(mode_).closingOffset) return true;
  uint8_t closing[4];
  PutU32(closing + ENTRY_OFFSET_AT, offset_);
  return table_.Write(closing, sizeof closing);
}

bool CompressedWriter::Commit() {
  return data_.Commit() && table_.Commit();
}

void CompressedWriter::Discard() {
  data_.Discard();
  table_.Discard();
}

const OutputFile* CompressedWriter::Failed() const {
  if (data_.Failed()) return &data_;
  if (table_.Failed()) return &table_;
  return nullptr;
}

}  // namespace quarnel
