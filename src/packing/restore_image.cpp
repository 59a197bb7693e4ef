#include "packing/restore_image.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/image_path.h"
#include "common/output_file.h"
#include "packing/block_codec.h"
#include "packing/block_pipeline.h"
#include "packing/block_restore.h"
#include "packing/block_workers.h"
#include "packing/compressed_reader.h"
#include "packing/dump_restore.h"
#include "packing/image_structure.h"

namespace quarnel {

namespace {

// Damaged blocks past this many are counted in one line instead of one line each.
constexpr uint32_t DAMAGE_LINES = 100;

// What the bytes of an existing image behind the restored one are.
std::string LostBytes(const ImageLayout& layout, uint64_t lost) {
  if (lost < SECTOR_SIZE) return "a partial last sector the compressed image does not hold";
  if (layout.HasAudioTrackSection()) {
    return "audio tracks the compressed image keeps only as MP3, which a restore does not "
           "write back";
  }
  return "audio tracks the compressed image does not hold";
}

// What replacing `path` with the restored image costs; empty when nothing is lost. The bytes
// behind the restored image go, and ripped XA sectors come back cleared, not as dumped.
std::string ReplaceCost(const std::string& path, uint64_t existing, const ImageLayout& layout) {
  const uint64_t restored = layout.restoredSize;
  std::string cost;
  if (existing > restored) {
    const uint64_t lost = existing - restored;
    cost = path + " is " + std::to_string(existing) + " bytes; the restored image will be " +
           std::to_string(restored) + " bytes. The " + std::to_string(lost) + " bytes behind it (" +
           LostBytes(layout, lost) + ") will be lost.";
  }
  if (layout.xaTaggedBlocks != 0) {
    cost += std::string(cost.empty() ? "" : " ") + "The restored image is not the original dump: " +
            std::to_string(layout.xaTaggedBlocks) +
            " sectors of ripped XA streams come back with their sound cleared.";
  }
  return cost;
}

std::string BlockCount(uint32_t done, uint32_t total) {
  return std::to_string(done) + " of " + std::to_string(total) + " blocks";
}

class RestoreRun {
 public:
  RestoreRun(const RestoreRequest& request, Reporter& reporter)
      : request_(request), reporter_(reporter) {}

  RestoreReport Run();

 private:
  bool Open();
  bool NameOutput();
  bool MayReplace();
  bool CreateOutput();
  bool LoadDumpList();
  bool Keep(const RestoredBlock& block);
  PipelineEnd RestoreBlocks(bool* readFailed);
  PipelineEnd AppendTracks();
  void Finish(PipelineEnd end, bool readFailed);
  void RestoreRestOfDump();
  bool Fail(const std::string& why);

  const RestoreRequest& request_;
  Reporter& reporter_;
  RestoreReport report_;
  CompressedReader reader_;
  ImageLayout layout_;  // the structure checked on opening, and the restored size
  OutputFile output_;
  DumpRestore dump_;
  std::string dumpFailure_;  // the rest of the dump could not be restored: why
  // A single image kept with its audio tracks as FLAC: the blocks give its first `prefix` bytes,
  // and what they hold past it waits in `overflow` should a FLAC fail.
  uint64_t prefix_ = 0;
  std::vector<uint8_t> overflow_;
  Checksums sums_;  // of the data file as written, against the dump's
};

// The front end shows the failure that ends the run; it is never logged here.
bool RestoreRun::Fail(const std::string& why) {
  report_.outcome.Fail(why);
  return false;
}

bool RestoreRun::Open() {
  const std::string& dataFile = request_.dataFile;
  report_.dataFile = dataFile;
  const std::optional<CompressionMode> mode = CompressionModeOfName(dataFile);
  if (mode && !FitsImagePath(dataFile + KindOf(*mode).tableSuffix)) {
    return Fail("the path is too long for its block table's name: " + dataFile);
  }
  const bool opened = reader_.Open(dataFile);
  if (!reader_.RepairLine().empty()) reporter_.Log("- " + reader_.RepairLine());
  if (!opened) {
    return Fail(reader_.Error());
  }
  report_.mode = reader_.Mode();
  report_.totalBlocks = reader_.Blocks();
  // What verify calls damaged in its structure is never restored: a short or shifted image would
  // pass for the dump.
  TakeOpened(reader_, layout_, true);
  CheckImageStructure(reader_, layout_, SoundFiles::Placed);
  if (layout_.StructureDamaged()) {
    return Fail(dataFile + " is damaged: " + layout_.StructureSummary());
  }
  MeasureRestoredSize(reader_, layout_);
  reporter_.LogF("- File Opened: %s", dataFile.c_str());
  reporter_.LogF("- %llu sectors founds.",
                 static_cast<unsigned long long>(RestoredSectors(layout_)));
  return true;
}

bool RestoreRun::NameOutput() {
  report_.output = RestoredName(request_.dataFile, report_.mode);
  const std::string& dir = request_.outputDir;
  if (!dir.empty()) {
    report_.output = InFolder(dir, report_.output);
    if (!FitsImagePath(report_.output)) {
      return Fail("the path is too long for the restored image's name: " + report_.output);
    }
  }
  return true;
}

// The list of the dump's files beside the image says what else to restore; a damaged one leaves
// the data track file to be restored alone, and the run fails saying why.
bool RestoreRun::LoadDumpList() {
  if (request_.dataTrackOnly) return true;
  if (!dump_.Load(request_.dataFile, FolderOf(report_.output))) {
    dumpFailure_ = dump_.Error() + "; only the data track's file was restored";
    return true;
  }
  report_.dumpListed = dump_.Exists();
  if (dump_.Exists()) prefix_ = dump_.PrefixLength();
  // The blocks hold a single image's data part and at most a block or two behind it: a list that
  // says otherwise is not this image's, and would have its bytes held back in memory.
  const uint64_t restored = layout_.restoredSize;
  if (prefix_ != 0 &&
      (prefix_ > restored || restored - prefix_ > 2 * reader_.Kind().rawBlockLength)) {
    dumpFailure_ = request_.dataFile + DUMP_LIST_SUFFIX + " does not fit the image (its data " +
                   "part ends at byte " + std::to_string(prefix_) + " of " +
                   std::to_string(restored) + "); only the data track's file was restored";
    report_.dumpListed = false;
    prefix_ = 0;
  }
  return true;
}

// The output is usually the very image the compressed one was made from, which may hold what
// the compressed one lacks: it is replaced only with consent, told what is lost.
bool RestoreRun::MayReplace() {
  struct stat st;
  if (::lstat(report_.output.c_str(), &st) != 0) return true;
  const uint64_t existing = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  ImageLayout restored = layout_;
  // A single image's audio tracks come back from their FLACs: nothing behind it is lost.
  if (prefix_ != 0 && dump_.List().Find(dump_.List().dataFile) != nullptr) {
    restored.restoredSize = dump_.List().Find(dump_.List().dataFile)->size;
  }
  report_.replaceDetail = ReplaceCost(report_.output, existing, restored);
  if (reporter_.ConfirmReplace(report_.output, report_.replaceDetail)) return true;
  // The user's own choice, no failure: the front ends word it.
  report_.declined = true;
  report_.outcome.kept.push_back(report_.output);
  return false;
}

bool RestoreRun::CreateOutput() {
  if (output_.CreateStaged(report_.output)) return true;
  if (output_.Replaces()) report_.outcome.kept.push_back(report_.output);
  return Fail(output_.Busy()
                  ? report_.output + " is busy: another run reads or writes it"
                  : "cannot create " + report_.output + ": " + std::strerror(output_.Errno()));
}

// Writes a restored block, and with a list beside the image, hashes it; the bytes of a single
// image past its data part are held back for its FLACs.
bool RestoreRun::Keep(const RestoredBlock& block) {
  const uint64_t at = output_.Position();
  size_t n = block.length;
  if (prefix_ != 0) {
    n = static_cast<size_t>(at >= prefix_ ? 0 : std::min<uint64_t>(n, prefix_ - at));
    overflow_.insert(overflow_.end(), block.bytes + n, block.bytes + block.length);
  }
  if (report_.dumpListed) {
    sums_.UpdatePart(Checksums::CRC32_PART, block.bytes, n);
    sums_.UpdatePart(Checksums::SHA1_PART, block.bytes, n);
  }
  return output_.Write(block.bytes, n);
}

// A single image's audio tracks come back from their FLACs behind its data part; when one cannot,
// the image is restored as its blocks hold it, and the run fails naming the FLAC. A stop there
// ends the run as one in the blocks does.
PipelineEnd RestoreRun::AppendTracks() {
  if (prefix_ == 0) return PipelineEnd::Finished;
  std::string why;
  const auto before = output_.Position();
  if (dump_.AppendDataFileTail(output_, sums_, reporter_, &why)) return PipelineEnd::Finished;
  if (dump_.Stopped()) return PipelineEnd::Stopped;
  dumpFailure_ = "cannot restore the audio tracks of " + report_.output + ": " + why +
                 "; the data track was restored alone";
  output_.Truncate(before);
  output_.Write(overflow_.data(), overflow_.size());
  prefix_ = 0;
  return PipelineEnd::Finished;
}

PipelineEnd RestoreRun::RestoreBlocks(bool* readFailed) {
  BlockWorkers workers;
  const size_t rawLength = reader_.Kind().rawBlockLength;
  RestoreSteps steps;
  steps.take = [&](const RestoredBlock& block) {
    if (block.damaged) {
      if (report_.damagedBlocks < DAMAGE_LINES) {
        reporter_.LogF("ERROR: block %u of %s is damaged; written as %u zero bytes.", block.index,
                       report_.dataFile.c_str(), static_cast<unsigned>(rawLength));
      }
      report_.damagedBlocks += 1;
    }
    if (!Keep(block)) return false;
    report_.blocks += 1;
    return true;
  };
  const PipelineEnd end = quarnel::RestoreBlocks(reporter_, reader_, workers, steps, readFailed);
  if (report_.damagedBlocks > DAMAGE_LINES) {
    reporter_.LogF("ERROR: %u more blocks of %s are damaged; written as zeros.",
                   report_.damagedBlocks - DAMAGE_LINES, report_.dataFile.c_str());
  }
  return end;
}

void RestoreRun::Finish(PipelineEnd end, bool readFailed) {
  Outcome& outcome = report_.outcome;
  const std::string done = BlockCount(report_.blocks, report_.totalBlocks);
  const std::string& output = report_.output;
  if (readFailed) {
    Fail("cannot read " + report_.dataFile + ": " + std::strerror(reader_.Errno()) + " after " +
         done);
  } else if (end == PipelineEnd::Failed) {
    Fail("cannot write " + output + ": " + std::strerror(output_.Errno()) + " after " + done);
  } else if (report_.damagedBlocks != 0 && output_.Replaces()) {
    // A damaged restore never replaces a file that may be whole.
    Fail(std::to_string(report_.damagedBlocks) + " blocks of " + report_.dataFile +
         " are damaged, so " + output + " was not replaced");
  } else if (end != PipelineEnd::Stopped) {
    if (output_.Commit()) {
      outcome.written.push_back(output);
      if (report_.damagedBlocks != 0) {
        outcome.Fail(std::to_string(report_.damagedBlocks) + " damaged blocks of " +
                     report_.dataFile + " were restored as zeros");
      }
    } else if (output_.HasFinalName()) {
      // Only its folder's sync failed: it stands whole, and the line says it may not last.
      outcome.written.push_back(output);
      Fail(output_.Error());
    } else {
      Fail("cannot write " + output + ": " + std::strerror(output_.Errno()));
    }
  }
  if (outcome.written.empty()) {
    outcome.removed.push_back(output_.TemporaryPath());
    output_.Discard();
    if (output_.Replaces()) outcome.kept.push_back(output);
  }
  outcome.stopped = end == PipelineEnd::Stopped;
  if (outcome.stopped) outcome.stopDetail = "after " + done;
}

// Every other file of the dump, and the verdict on the whole.
void RestoreRun::RestoreRestOfDump() {
  Outcome& outcome = report_.outcome;
  if (!dumpFailure_.empty()) outcome.Fail(dumpFailure_);
  if (!report_.dumpListed || outcome.written.empty()) return;
  ChecksumDigests digests = sums_.Finish();
  digests.size = output_.Position();
  const std::string dataCheck = dumpFailure_.empty() ? dump_.CheckDataFile(digests) : "";
  if (!dataCheck.empty()) reporter_.Log("Warning: " + dataCheck + ".");
  Outcome rest;
  dump_.RestoreOthers(reporter_, rest);
  outcome.written.insert(outcome.written.end(), rest.written.begin(), rest.written.end());
  outcome.kept.insert(outcome.kept.end(), rest.kept.begin(), rest.kept.end());
  if (rest.Failed()) outcome.Fail(rest.error);
  if (rest.stopped) outcome.stopped = true;
  report_.completeDump = dataCheck.empty() && !outcome.Failed() && !outcome.stopped &&
                         rest.kept.empty() && !dump_.List().ripped;
  if (report_.completeDump) {
    reporter_.LogF("- The whole dump is restored: %zu files, each byte for byte the dump's.",
                   dump_.List().files.size());
  } else if (dump_.List().ripped) {
    reporter_.Log("Warning: this is not the original dump: media were ripped from its data track.");
  }
}

RestoreReport RestoreRun::Run() {
  if (!Open() || !NameOutput() || !LoadDumpList() || !MayReplace() || !CreateOutput()) {
    return std::move(report_);
  }
  report_.started = true;
  bool readFailed = false;
  PipelineEnd end = RestoreBlocks(&readFailed);
  if (end == PipelineEnd::Finished && !readFailed && report_.damagedBlocks == 0) {
    end = AppendTracks();
  }
  Finish(end, readFailed);
  if (end == PipelineEnd::Finished) RestoreRestOfDump();
  return std::move(report_);
}

}  // namespace

RestoreReport RestoreImage(const RestoreRequest& request, Reporter& reporter) {
  return RestoreRun(request, reporter).Run();
}

}  // namespace quarnel
