#include "packing/verify_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "common/commit_group.h"
#include "common/image_file.h"
#include "common/image_path.h"
#include "packing/block_codec.h"
#include "packing/block_pipeline.h"
#include "packing/block_restore.h"
#include "packing/block_workers.h"
#include "packing/compressed_reader.h"
#include "packing/dump_list.h"

namespace quarnel {

namespace {

// The media as one set of sectors: overlapping and adjacent ones joined, in order. Streams
// ripped back to back differ from the source as one range, which no single medium holds.
std::vector<SectorRange> JoinedMedia(std::vector<SectorRange> media) {
  std::sort(media.begin(), media.end(),
            [](const SectorRange& a, const SectorRange& b) { return a.first < b.first; });
  std::vector<SectorRange> joined;
  for (const SectorRange& m : media) {
    if (m.first > m.last) continue;
    if (!joined.empty() && m.first <= uint64_t{joined.back().last} + 1) {
      joined.back().last = std::max(joined.back().last, m.last);
    } else {
      joined.push_back(m);
    }
  }
  return joined;
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
    const std::vector<SectorRange> joined = JoinedMedia(media);
    std::vector<SectorDifference> out;
    for (const SectorRange& r : ranges_) {
      // A range that only starts inside the media and runs beyond them is outside.
      const bool inMedium = std::any_of(joined.begin(), joined.end(), [&](const SectorRange& m) {
        return r.first >= m.first && r.last <= m.last;
      });
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

// Decompresses every block on every core, feeding the checksums (and the comparison) in order;
// the first `prefixLength` bytes are also hashed alone (a single image's data part).
void RestoreAndCheck(Reporter& reporter, CompressedReader& reader, VerifyReport& report,
                     SourceComparison* source, uint64_t prefixLength, std::string* prefixSha1) {
  Checksums prefix;
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
                     Num(kind.rawBlockLength) + "; only the last block may be short",
                 ProblemKind::Content);
    } else if (block.damaged) {
      AddProblem(layout, Block(block.index), "does not decompress", ProblemKind::Content);
    }
    if (block.damaged) report.damagedBlocks += 1;
    if (source != nullptr) source->Compare(report.restored.size, block.bytes, block.length);
    if (report.restored.size < prefixLength) {
      prefix.UpdatePart(Checksums::SHA1_PART, block.bytes,
                        static_cast<size_t>(
                            std::min<uint64_t>(block.length, prefixLength - report.restored.size)));
    }
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
        std::string("cannot read it: ") + std::strerror(reader.Errno() ? reader.Errno() : EIO),
        ProblemKind::Content);
  }
  const uint64_t size = report.restored.size;
  report.restored = sums.Finish();
  report.restored.size = size;
  layout.restoredSize = size;
  if (prefixLength != 0) *prefixSha1 = prefix.Finish().sha1;
}

// The files kept beside the image, against the list of the dump's files; each of their problems
// is the image's.
void CheckDump(const std::string& dataFile, const DumpList& list, const std::string& prefixSha1,
               Reporter& reporter, VerifyReport& report) {
  report.dump = CheckDumpBeside(dataFile, list, report.restored, prefixSha1, reporter);
  report.stopped = report.dump->stopped;
  for (const std::string& problem : report.dump->problems) {
    const size_t colon = problem.find(": ");
    AddProblem(report.layout, problem.substr(0, colon),
               colon == std::string::npos ? problem : problem.substr(colon + 2),
               ProblemKind::Content);
  }
}

// The DAT's game of the files the image holds: the dump's as its list gives them, or else the
// restored data track file alone.
void SearchDat(const VerifyOptions& options, const std::string& dataFile, VerifyReport& report) {
  report.datSearched = true;
  report.datMatch = options.dat->Find(report.restored.size, report.restored.sha1);
  std::vector<HeldFile> held;
  if (report.dump) {
    held = report.dump->held;
  } else {
    const std::string restored = RestoredName(dataFile, report.layout.mode);
    held.push_back({BareName(restored), report.restored.size, report.restored.crc32,
                    report.restored.md5, report.restored.sha1});
  }
  report.game = options.dat->MatchGame(held);
}

void CompareEnds(const VerifyOptions& options, SourceComparison& source, VerifyReport& report) {
  ImageLayout& layout = report.layout;
  report.compared = true;
  report.sourceSize = source.Size();
  report.differences = source.Ranges(options.media);
  if (source.ReadFailed()) {
    AddProblem(layout, "source",
               "cannot read " + options.source + ": " + std::strerror(source.ReadErrno()),
               ProblemKind::Content);
  }
  for (const SectorDifference& d : report.differences) {
    if (d.inMedium) continue;
    AddProblem(layout, "source", Sectors(d.first, d.last) + " differ outside any medium",
               ProblemKind::Content);
  }
  // The audio tracks behind the data track are never in the block area; other missing bytes are.
  if (report.sourceSize > layout.restoredSize && !options.sourceHasAudioTracks) {
    AddProblem(layout, "source",
               Num(report.sourceSize - layout.restoredSize) +
                   " bytes at its end are missing from the restored image",
               ProblemKind::Content);
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
  if (report.dump) {
    if (report.dump->Complete()) {
      reporter.Log("- Every file of the dump is kept: the blocks, its FLACs and its cue sheet.");
    } else if (!report.dump->dataFileOriginal) {
      reporter.Log("Warning: the data track is not the original dump's: media were ripped.");
    }
  }
  if (report.datSearched) LogGameReport(report.game, options.datName, reporter);
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
  const bool tookOpened = TakeOpened(reader, layout, opened);
  if (!layout.repairLine.empty()) reporter.Log("- " + layout.repairLine);
  if (tookOpened) {
    CheckImageStructure(reader, layout, SoundFiles::Decoded);
    SourceComparison source;
    bool comparing = false;
    if (!options.source.empty()) {
      comparing = source.Open(options.source);
      if (!comparing) {
        AddProblem(layout, "source",
                   "cannot open " + options.source + ": " + std::strerror(source.OpenError()),
                   ProblemKind::Content);
      }
    }
    DumpList list;
    bool listed = false;
    std::string why, prefixSha1;
    if (!brief && !ReadDumpList(reader.DataFile() + DUMP_LIST_SUFFIX, &list, &listed, &why)) {
      AddProblem(layout, "dump list", why, ProblemKind::Content);
    }
    RestoreAndCheck(reporter, reader, report, comparing ? &source : nullptr,
                    listed ? list.prefixLength : 0, &prefixSha1);
    if (comparing && !report.stopped) CompareEnds(options, source, report);
    if (listed && !report.stopped) CheckDump(reader.DataFile(), list, prefixSha1, reporter, report);
    if (options.dat != nullptr && !report.stopped) SearchDat(options, reader.DataFile(), report);
  } else if (layout.problems.empty()) {
    reporter.LogF("ERROR: %s", layout.error.c_str());
  }
  LogReport(reporter, options, report, brief);
  return report;
}

}  // namespace

bool VerifyReport::Passed() const {
  return layout.opened && layout.problems.empty() && layout.moreProblems == 0 && !stopped &&
         damagedBlocks == 0 &&
         (!datSearched || (game.has_value() && DifferingFiles(*game).empty()));
}

ImageLayout InspectImage(const std::string& dataFile, SoundFiles sound) {
  ImageLayout layout;
  CompressedReader reader;
  if (!TakeOpened(reader, layout, reader.Open(dataFile))) return layout;
  CheckImageStructure(reader, layout, sound);
  MeasureRestoredSize(reader, layout);
  return layout;
}

VerifyReport VerifyImage(Reporter& reporter, const std::string& dataFile,
                         const VerifyOptions& options) {
  CompressedReader reader;
  const bool opened = reader.Open(dataFile);
  return Verify(reporter, reader, opened, options, false);
}

VerifyReport VerifyWrittenImage(Reporter& reporter, const std::string& dataPath,
                                const std::string& sidePath, CompressionMode mode) {
  CompressedReader reader;
  const bool opened = reader.OpenWritten(dataPath, sidePath, mode);
  return Verify(reporter, reader, opened, VerifyOptions{}, true);
}

}  // namespace quarnel
