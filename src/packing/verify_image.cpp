#include "packing/verify_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "common/image_file.h"
#include "packing/block_codec.h"
#include "packing/block_pipeline.h"
#include "packing/block_restore.h"
#include "packing/block_workers.h"
#include "packing/compressed_reader.h"

namespace quarnel {

namespace {

// The most audio tracks behind the data track (track 1).
constexpr uint32_t MAX_AUDIO_TRACK_ENTRIES = MAX_TRACKS - 1;

void AddProblem(ImageLayout& layout, std::string where, std::string what, bool limit = false) {
  if (layout.problems.size() >= MAX_IMAGE_PROBLEMS) {
    layout.moreProblems += 1;
    return;
  }
  layout.problems.push_back({std::move(where), std::move(what), limit});
}

std::string Block(uint32_t i) {
  return "block " + std::to_string(i);
}

std::string Num(uint64_t n) {
  return std::to_string(n);
}

const char* SectionName(bool xa) {
  return xa ? "XA section" : "audio track section";
}

bool SoundTag(const XaTag& tag) {
  return tag.marker == XA_TAG_MARKER && tag.record != NO_XA_RECORD &&
         tag.channel != XA_TAG_NO_CHANNEL;
}

bool Opened(CompressedReader& reader, ImageLayout& layout, bool ok) {
  layout.mode = reader.Mode();
  layout.dataFile = reader.DataFile();
  layout.sideFile = reader.SideFile();
  if (!ok) {
    layout.error = reader.Error();
    layout.errorNumber = reader.Errno();
    layout.notCompressed = reader.NotCompressed();
    // The reader's refusals of a damaged side file name the block; they are the image's problem.
    if (!reader.NotCompressed() && reader.Errno() == EINVAL) {
      AddProblem(layout, "side file", reader.Error());
    }
    return false;
  }
  layout.opened = true;
  layout.blocks = reader.Blocks();
  layout.dataSize = reader.DataSize();
  layout.sideSize = reader.SideSize();
  return true;
}

// The side file: entry sizes, offsets in order without gaps, the closing offset, the limits and the
// XaTags' markers.
void CheckBlocks(CompressedReader& reader, ImageLayout& layout) {
  const CompressedKind& kind = reader.Kind();
  const uint64_t stray = layout.sideSize % kind.entrySize;
  if (stray != 0) {
    AddProblem(layout, "side file",
               "its last " + Num(stray) + " bytes are no whole entry of " + Num(kind.entrySize));
  }
  if (!layout.SideFileWithinLimit()) {
    AddProblem(layout, "side file",
               Num(layout.sideSize) + " bytes, over the " + Num(EMULATOR_SIDE_FILE_LIMIT) +
                   " the emulator's reader loads",
               true);
  }
  uint64_t expected = 0;
  for (uint32_t i = 0; i < layout.blocks; ++i) {
    const BlockEntry& e = reader.Entries()[i];
    if (e.offset != expected) {
      AddProblem(layout, Block(i),
                 "starts at offset " + Num(e.offset) + ", not where the block before ends (" +
                     Num(expected) + ")");
    }
    expected = uint64_t{e.offset} + e.length;
    layout.largestBlock = std::max(layout.largestBlock, e.length);
    if (e.length > EMULATOR_STORED_BLOCK_LIMIT) {
      AddProblem(layout, Block(i),
                 "stored length " + Num(e.length) + " is over the " +
                     Num(EMULATOR_STORED_BLOCK_LIMIT) + " bytes the emulator's reader takes",
                 true);
    }
    const XaTag& tag = e.tag;
    if (tag.record == 0 && tag.marker == 0 && tag.channel == 0) continue;
    layout.xaTaggedBlocks += 1;
    if (tag.marker != XA_TAG_MARKER) {
      AddProblem(layout, Block(i),
                 "its XA tag's marker is " + Num(tag.marker) + ", not " + Num(XA_TAG_MARKER));
    }
  }
  layout.blockAreaEnd = expected;
  // Without its closing offset an index reads one block short, and that block stands where the
  // sections should begin.
  uint8_t head[3];
  if (kind.closingOffset && reader.ReadAt(layout.blockAreaEnd, head, sizeof head) &&
      std::memcmp(head, "BZh", 3) == 0) {
    AddProblem(layout, "side file",
               "it lacks the closing offset: a block follows offset " + Num(layout.blockAreaEnd));
  }
}

// Walks the sections from the block area's end; each must fit the bytes that follow, and the last
// must end at the data file's end.
void CheckSections(CompressedReader& reader, ImageLayout& layout, bool xaFirst) {
  uint64_t at = layout.blockAreaEnd;
  const uint64_t size = layout.dataSize;
  std::vector<bool> order = xaFirst ? std::vector<bool>{true, false} : std::vector<bool>{false};
  for (const bool xa : order) {
    // Fewer bytes than a count and one entry are no section, only bytes left over.
    if (at >= size || size - at < 4 + SECTION_ENTRY_SIZE) break;
    const std::string name = SectionName(xa);
    uint8_t countField[4];
    if (!reader.ReadAt(at, countField, 4)) {
      AddProblem(layout, "data file", "cannot read the " + name + " at offset " + Num(at));
      return;
    }
    const uint32_t count = GetU32(countField);
    const uint64_t room = (size - at - 4) / SECTION_ENTRY_SIZE;
    const uint32_t cap = xa ? XA_RECORD_TABLE_SIZE : MAX_AUDIO_TRACK_ENTRIES;
    if (count == 0 || count > room || count > cap) {
      AddProblem(layout, name,
                 "its count at offset " + Num(at) + " is " + Num(count) + "; the bytes behind it " +
                     "hold at most " + Num(std::min<uint64_t>(room, cap)) + " entries");
      return;
    }
    std::vector<uint8_t> table(size_t{count} * SECTION_ENTRY_SIZE);
    if (!reader.ReadAt(at + 4, table.data(), table.size())) {
      AddProblem(layout, "data file", "cannot read the " + name + " at offset " + Num(at));
      return;
    }
    SectionInfo section;
    section.xa = xa;
    section.at = at;
    uint64_t next = at + 4 + table.size();
    for (uint32_t j = 0; j < count; ++j) {
      const uint8_t* p = table.data() + size_t{j} * SECTION_ENTRY_SIZE;
      SectionEntryInfo e{GetU32(p), GetU32(p + 4), GetU32(p + 8), GetU32(p + 12), {}};
      const std::string entry = name + " entry " + Num(j);
      if (e.firstSector > e.lastSector) {
        AddProblem(
            layout, entry,
            "first sector " + Num(e.firstSector) + " lies after its last " + Num(e.lastSector));
      }
      if (e.offset != next) {
        AddProblem(layout, entry,
                   "its file starts at offset " + Num(e.offset) + ", not at " + Num(next) +
                       " where the one before ends");
      }
      if (uint64_t{e.offset} + e.size > size) {
        AddProblem(layout, entry, "its file runs past the end of the data file");
        return;
      }
      next = uint64_t{e.offset} + e.size;
      section.entries.push_back(e);
    }
    section.end = next;
    at = next;
    layout.sections.push_back(std::move(section));
  }
  if (at < size) {
    AddProblem(layout, "data file",
               Num(size - at) + " bytes at offset " + Num(at) + " belong to no block or section");
  }
}

// A ".ZNX" tag names its XA record; the record must be in the XA section and hold the sector.
void CheckTagsAgainstSection(CompressedReader& reader, ImageLayout& layout) {
  const SectionInfo* xa = nullptr;
  for (const SectionInfo& s : layout.sections) {
    if (s.xa) xa = &s;
  }
  for (uint32_t i = 0; i < layout.blocks; ++i) {
    const XaTag& tag = reader.Entries()[i].tag;
    if (!SoundTag(tag)) continue;
    if (xa == nullptr) {
      AddProblem(layout, Block(i),
                 "tagged with the sound of XA record " + Num(tag.record) +
                     ", but the data file has no XA section");
      continue;
    }
    if (tag.record >= xa->entries.size()) {
      AddProblem(layout, Block(i),
                 "its XA tag names record " + Num(tag.record) + "; the XA section has " +
                     Num(xa->entries.size()));
      continue;
    }
    const SectionEntryInfo& r = xa->entries[tag.record];
    if (i < r.firstSector || i > r.lastSector) {
      AddProblem(layout, Block(i),
                 "its XA tag names record " + Num(tag.record) + ", which covers sectors " +
                     Num(r.firstSector) + "-" + Num(r.lastSector));
    }
  }
}

// Everything but the blocks' contents.
void CheckStructure(CompressedReader& reader, ImageLayout& layout) {
  CheckBlocks(reader, layout);
  bool xaFirst = false;
  if (KindOf(layout.mode).xaTags) {
    for (const BlockEntry& e : reader.Entries()) xaFirst |= SoundTag(e.tag);
  }
  CheckSections(reader, layout, xaFirst);
  if (KindOf(layout.mode).xaTags) CheckTagsAgainstSection(reader, layout);
}

bool InRange(const SectorRange& r, uint32_t first, uint32_t last) {
  return first >= r.first && last <= r.last;
}

// Compares the restored bytes with the source as they come, sector by sector, and collects the
// ranges of differing sectors.
class SourceComparison {
 public:
  bool Open(const std::string& path) { return file_.Open(path.c_str()); }
  int OpenError() const { return file_.OpenError(); }
  uint64_t Size() const { return file_.Size(); }
  bool ReadFailed() const { return file_.ReadFailed(); }
  int ReadErrno() const { return file_.ReadErrno(); }

  void Compare(uint64_t offset, const uint8_t* restored, size_t length) {
    buffer_.resize(std::max(buffer_.size(), length));
    const size_t got = file_.ReadStream(buffer_.data(), length);
    for (size_t at = 0; at < length; at += SECTOR_SIZE) {
      const size_t n = std::min<size_t>(SECTOR_SIZE, length - at);
      const bool same = at + n <= got && std::memcmp(restored + at, buffer_.data() + at, n) == 0;
      if (!same) Mark(static_cast<uint32_t>((offset + at) / SECTOR_SIZE));
    }
  }

  std::vector<SectorDifference> Ranges(const std::vector<SectorRange>& media) const {
    std::vector<SectorDifference> out;
    for (const SectorRange& r : ranges_) {
      bool inMedium = false;
      for (const SectorRange& m : media) inMedium |= InRange(m, r.first, r.last);
      out.push_back({r.first, r.last, inMedium});
    }
    return out;
  }

 private:
  void Mark(uint32_t sector) {
    if (!ranges_.empty() && ranges_.back().last + 1 == sector) {
      ranges_.back().last = sector;
    } else {
      ranges_.push_back({sector, sector});
    }
  }

  ImageFile file_;
  std::vector<uint8_t> buffer_;
  std::vector<SectorRange> ranges_;
};

// Decompresses every block on every core, feeding the checksums (and the comparison) in order.
void RestoreAndCheck(Reporter& reporter, CompressedReader& reader, VerifyReport& report,
                     SourceComparison* source) {
  ImageLayout& layout = report.layout;
  const CompressedKind& kind = reader.Kind();
  BlockWorkers workers;
  bool readFailed = false;
  Checksums sums;
  RestoreSteps steps;
  steps.take = [&](const RestoredBlock& block) {
    if (block.shortBeforeLast) {
      AddProblem(layout, Block(block.index),
                 "decompresses to " + Num(block.decodedLength) + " bytes, not " +
                     Num(kind.rawBlockLength) + "; only the last block may be short");
    } else if (block.damaged) {
      AddProblem(layout, Block(block.index), "does not decompress");
    }
    if (block.damaged) report.damagedBlocks += 1;
    if (source != nullptr) source->Compare(report.restored.size, block.bytes, block.length);
    report.restored.size += block.length;
    return true;
  };
  // The three digests of a batch's restored bytes are taken on every core.
  steps.batchTaken = [&](const uint8_t* bytes, size_t length) {
    workers.Run(Checksums::PARTS,
                [&](unsigned, size_t part) { sums.UpdatePart(part, bytes, length); });
  };
  const PipelineEnd end = RestoreBlocks(reporter, reader, workers, steps, &readFailed);
  report.stopped = end == PipelineEnd::Stopped;
  if (readFailed) {
    AddProblem(
        layout, "data file",
        std::string("cannot read it: ") + std::strerror(reader.Errno() ? reader.Errno() : EIO));
  }
  const uint64_t size = report.restored.size;
  report.restored = sums.Finish();
  report.restored.size = size;
  layout.restoredSize = size;
}

void CompareEnds(const VerifyOptions& options, SourceComparison& source, VerifyReport& report) {
  ImageLayout& layout = report.layout;
  report.compared = true;
  report.sourceSize = source.Size();
  report.differences = source.Ranges(options.media);
  if (source.ReadFailed()) {
    AddProblem(layout, "source",
               "cannot read " + options.source + ": " + std::strerror(source.ReadErrno()));
  }
  for (const SectorDifference& d : report.differences) {
    if (d.inMedium) continue;
    AddProblem(layout, "source",
               "sectors " + Num(d.first) + "-" + Num(d.last) + " differ outside any medium");
  }
  // The audio tracks behind the data track are never in the block area; other missing bytes are.
  if (report.sourceSize > layout.restoredSize && !options.sourceHasAudioTracks) {
    AddProblem(layout, "source",
               Num(report.sourceSize - layout.restoredSize) +
                   " bytes at its end are missing from the restored image");
  }
}

// `brief`: the problems only (the writer's check, whose caller logs the SHA-1 last).
void LogReport(Reporter& reporter, const VerifyOptions& options, const VerifyReport& report,
               bool brief) {
  const ImageLayout& layout = report.layout;
  for (const ImageProblem& p : layout.problems) {
    reporter.LogF("ERROR: %s", p.Text().c_str());
  }
  if (layout.moreProblems != 0) {
    reporter.LogF("ERROR: %u more problems.", layout.moreProblems);
  }
  if (!layout.opened || report.stopped || brief) return;
  reporter.LogF("- Restored image: %llu bytes",
                static_cast<unsigned long long>(report.restored.size));
  reporter.LogF("- CRC32 of the restored image: %s", report.restored.crc32.c_str());
  reporter.LogF("- MD5 of the restored image: %s", report.restored.md5.c_str());
  if (report.compared) {
    if (report.differences.empty()) {
      reporter.LogF("- The restored sectors are those of the source.");
    }
    for (const SectorDifference& d : report.differences) {
      reporter.LogF("- Sectors %u-%u differ from the source: %s", d.first, d.last,
                    d.inMedium ? "inside a medium (ripped)" : "outside any medium");
    }
  }
  if (report.datSearched) {
    if (report.datMatch) {
      reporter.LogF("- DAT entry: %s (%s)", report.datMatch->game.c_str(),
                    report.datMatch->rom.c_str());
    } else {
      reporter.LogF("ERROR: %s has no entry of the restored image's size and SHA-1.",
                    options.datName.c_str());
    }
  }
  reporter.LogF("- SHA-1 of the restored image: %s", report.restored.sha1.c_str());
}

VerifyReport Verify(Reporter& reporter, CompressedReader& reader, bool opened,
                    const VerifyOptions& options, bool brief) {
  VerifyReport report;
  ImageLayout& layout = report.layout;
  if (brief) {
    reporter.LogF("- Reading the compressed image back...");
  } else {
    reporter.LogF("- Verifying %s", reader.DataFile().c_str());
  }
  if (Opened(reader, layout, opened)) {
    CheckStructure(reader, layout);
    SourceComparison source;
    bool comparing = false;
    if (!options.source.empty()) {
      comparing = source.Open(options.source);
      if (!comparing) {
        AddProblem(layout, "source",
                   "cannot open " + options.source + ": " + std::strerror(source.OpenError()));
      }
    }
    RestoreAndCheck(reporter, reader, report, comparing ? &source : nullptr);
    if (comparing && !report.stopped) CompareEnds(options, source, report);
    if (options.dat != nullptr && !report.stopped) {
      report.datSearched = true;
      report.datMatch = options.dat->Find(report.restored.size, report.restored.sha1);
    }
  } else if (layout.problems.empty()) {
    reporter.LogF("ERROR: %s", layout.error.c_str());
  }
  LogReport(reporter, options, report, brief);
  return report;
}

}  // namespace

bool ImageLayout::Damaged() const {
  if (moreProblems != 0) return true;
  for (const ImageProblem& p : problems) {
    if (!p.limit) return true;
  }
  return false;
}

bool VerifyReport::Passed() const {
  return layout.opened && layout.problems.empty() && layout.moreProblems == 0 && !stopped &&
         damagedBlocks == 0 && (!datSearched || datMatch.has_value());
}

ImageLayout InspectImage(const std::string& dataFile) {
  ImageLayout layout;
  CompressedReader reader;
  if (!Opened(reader, layout, reader.Open(dataFile))) return layout;
  CheckStructure(reader, layout);
  const uint32_t n = layout.blocks;
  if (n == 0) return layout;
  // The last block alone tells the restored size: every other block is whole.
  const CompressedKind& kind = reader.Kind();
  std::vector<uint8_t> stored(reader.Entries()[n - 1].length), raw(kind.rawBlockLength);
  BlockDecompressor codec;
  size_t produced = 0;
  if (!reader.ReadBlock(n - 1, stored.data()) ||
      !reader.DecodeBlock(codec, stored.data(), static_cast<uint32_t>(stored.size()), raw.data(),
                          &produced)) {
    AddProblem(layout, Block(n - 1), "does not decompress");
    produced = kind.rawBlockLength;
  }
  layout.restoredSize = uint64_t{n - 1} * kind.rawBlockLength + produced;
  return layout;
}

VerifyReport VerifyImage(Reporter& reporter, const std::string& dataFile,
                         const VerifyOptions& options) {
  CompressedReader reader;
  const bool opened = reader.Open(dataFile);
  VerifyReport report = Verify(reporter, reader, opened, options, false);
  if (!opened) report.layout.dataFile = dataFile;
  return report;
}

VerifyReport VerifyWrittenImage(Reporter& reporter, const std::string& dataPath,
                                const std::string& sidePath, CompressionMode mode) {
  CompressedReader reader;
  const bool opened = reader.OpenWritten(dataPath, sidePath, mode);
  return Verify(reporter, reader, opened, VerifyOptions{}, true);
}

}  // namespace quarnel
