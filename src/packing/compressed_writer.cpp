#include "packing/compressed_writer.h"

#include <cerrno>

#include "packing/compressed_reader.h"

namespace quarnel {

std::string CompressedWriter::NameTooLong(const std::string& dataFile, CompressionMode mode) {
  return FirstNameTooLong({dataFile, dataFile + KindOf(mode).tableSuffix});
}

bool CompressedWriter::Create(const std::string& dataFile, CompressionMode mode) {
  mode_ = mode;
  offset_ = 0;
  blocks_ = 0;
  companions_.clear();
  commit_ = {};
  repair_ = {};
  const std::string sideFile = dataFile + KindOf(mode).tableSuffix;
  const std::string tooLong = NameTooLong(dataFile, mode);
  if (!tooLong.empty()) {
    OutputFile& refused = tooLong == dataFile ? data_ : table_;
    return refused.Refuse(tooLong, ENAMETOOLONG,
                          "the name " + tooLong +
                              " is too long: the work files written beside it would not fit in "
                              "its folder");
  }
  repair_ = CompleteInterruptedImageCommit(dataFile);
  if (repair_.Blocks()) {
    return data_.Refuse(dataFile, repair_.result == CommitRepair::BUSY ? EWOULDBLOCK : EIO,
                        repair_.line);
  }
  return data_.CreateStaged(dataFile) && table_.CreateStaged(sideFile);
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
  // The side file last: until it stands, no reader finds a pair to open.
  std::vector<OutputFile*> files = {&data_};
  files.insert(files.end(), companions_.begin(), companions_.end());
  files.push_back(&table_);
  CommitGroup group(files, {table_.Path()});
  commit_ = group.Commit();
  return commit_.done;
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

std::string CompressedWriter::Error() const {
  if (!commit_.line.empty()) return commit_.line;
  const OutputFile* f = Failed();
  return f != nullptr ? f->Error() : std::string();
}

}  // namespace quarnel
