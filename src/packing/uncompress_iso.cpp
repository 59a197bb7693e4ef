#include "packing/uncompress_iso.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/output_file.h"
#include "common/report.h"
#include "packing/block_codec.h"
#include "packing/block_pipeline.h"
#include "packing/block_restore.h"
#include "packing/block_workers.h"
#include "packing/compressed_format.h"
#include "packing/compressed_reader.h"

namespace quarnel {

namespace {

// Damaged blocks past this many are counted in one line instead of one line each.
constexpr uint32_t DAMAGE_LINES = 100;

// What replacing `path` costs: empty unless the existing file is longer than the restored image
// can be (the audio tracks behind the data track are not in the compressed image).
std::string ReplaceCost(const std::string& path, uint64_t existing, uint64_t restored) {
  if (existing <= restored) return std::string();
  return path + " is " + std::to_string(existing) + " bytes; the restored image will be at most " +
         std::to_string(restored) + " bytes. The " + std::to_string(existing - restored) +
         " bytes behind it (audio tracks the compressed image does not hold) will be lost.";
}

std::string BlockCount(uint32_t done, uint32_t total) {
  return std::to_string(done) + " of " + std::to_string(total) + " blocks";
}

}  // namespace

UncompressResult UncompressIso(AppState& state, Window& window, const UncompressOptions& options) {
  UncompressResult result;
  Outcome& outcome = result.outcome;
  ReadControlText(window, IDC_PATH, state.ImagePath, sizeof state.ImagePath);
  result.dataFile = state.ImagePath;
  LogF(state, window, "- File Opened: %s", state.ImagePath);

  CompressionModeFromExtension(state);
  if (state.CompressionMode == MODE_NONE) state.CompressionMode = MODE_ZLIB;
  const uint32_t mode = state.CompressionMode;
  const CompressedKind& kind = KindOf(mode);

  const auto fail = [&](const std::string& file, int error, const char* action,
                        const std::string& why) {
    LogF(state, window, "ERROR: %s.", why.c_str());
    result.failedFile = file;
    result.fileError = error;
    result.failedAction = action;
    outcome.Fail(why);
  };

  const size_t pathLength = std::strlen(state.ImagePath);
  if (pathLength + std::strlen(kind.tableSuffix) >= IMAGE_PATH_SIZE) {
    fail(state.ImagePath, ENAMETOOLONG, "open",
         std::string("the path is too long for its block table's name: ") + state.ImagePath);
    return result;
  }

  CompressedReader reader;
  if (!reader.Open(result.dataFile)) {
    result.busy = reader.Busy();
    result.notCompressed = reader.NotCompressed();
    fail(result.dataFile, reader.Errno(), "open", reader.Error());
    return result;
  }
  const uint32_t n = reader.Blocks();
  result.totalBlocks = n;
  LogF(state, window, "- %d sectors founds.", static_cast<int>(n));

  const size_t cut = mode == MODE_BZIP2 ? 3 : mode == MODE_ZLIB_XA ? 4 : 2;
  state.ImagePath[pathLength - std::min(cut, pathLength)] = '\0';
  result.output = state.ImagePath;
  if (!options.outputDir.empty()) {
    const size_t slash = result.output.rfind('/');
    result.output = options.outputDir + (options.outputDir.back() == '/' ? "" : "/") +
                    result.output.substr(slash == std::string::npos ? 0 : slash + 1);
    if (result.output.size() >= IMAGE_PATH_SIZE) {
      fail(result.output, ENAMETOOLONG, "create",
           "the path is too long for the restored image's name: " + result.output);
      return result;
    }
    std::snprintf(state.ImagePath, sizeof state.ImagePath, "%s", result.output.c_str());
  }

  // The output is usually the very image the compressed one was made from, which may hold what
  // the compressed one lacks: it is replaced only with consent, told what is lost.
  struct stat st;
  if (::lstat(state.ImagePath, &st) == 0) {
    const uint64_t existing = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    result.replaceDetail = ReplaceCost(result.output, existing, reader.MaxRestoredSize());
    if (!window.ConfirmReplace(result.output, result.replaceDetail)) {
      result.refused = true;
      outcome.kept.push_back(result.output);
      const std::string why = result.output + " exists and was not replaced";
      LogF(state, window, "ERROR: %s.", why.c_str());
      outcome.Fail(why);
      return result;
    }
  }
  OutputFile output;
  if (!output.CreateStaged(result.output)) {
    result.busy = output.Busy();
    if (output.Replaces()) outcome.kept.push_back(result.output);
    fail(result.output, output.Errno(), "create",
         output.Busy() ? result.output + " is busy: another run reads or writes it"
                       : "cannot create " + result.output + ": " + std::strerror(output.Errno()));
    return result;
  }

  result.started = true;
  window.EnableControl(IDC_PROCESS, false);
  window.EnableControl(IDC_UNCOMPRESS, false);

  BlockWorkers workers;
  const size_t rawLength = kind.rawBlockLength;
  bool readFailed = false;
  RestoreSteps steps;
  steps.take = [&](const RestoredBlock& block) {
    if (block.damaged) {
      if (result.damagedBlocks < DAMAGE_LINES) {
        LogF(state, window, "ERROR: block %u of %s is damaged; written as %u zero bytes.",
             block.index, result.dataFile.c_str(), static_cast<unsigned>(rawLength));
      }
      result.damagedBlocks += 1;
    }
    if (!output.Write(block.bytes, block.length)) return false;
    result.blocks += 1;
    return true;
  };
  const PipelineEnd end = RestoreBlocks(state, window, reader, workers, steps, &readFailed);
  result.stopped = end == PipelineEnd::Stopped;
  result.damaged = result.damagedBlocks != 0;
  if (result.damagedBlocks > DAMAGE_LINES) {
    LogF(state, window, "ERROR: %u more blocks of %s are damaged; written as zeros.",
         result.damagedBlocks - DAMAGE_LINES, result.dataFile.c_str());
  }

  const std::string done = BlockCount(result.blocks, n);
  if (readFailed) {
    fail(
        result.dataFile, reader.Errno(), "read",
        "cannot read " + result.dataFile + ": " + std::strerror(reader.Errno()) + " after " + done);
  } else if (end == PipelineEnd::Failed) {
    fail(result.output, output.Errno(), "write",
         "cannot write " + result.output + ": " + std::strerror(output.Errno()) + " after " + done);
  } else if (result.damaged && output.Replaces()) {
    // A damaged restore never replaces a file that may be whole.
    const std::string why = std::to_string(result.damagedBlocks) + " blocks of " + result.dataFile +
                            " are damaged, so " + result.output + " was not replaced";
    LogF(state, window, "ERROR: %s.", why.c_str());
    outcome.Fail(why);
  } else if (!result.stopped) {
    if (output.Commit()) {
      outcome.written.push_back(result.output);
      if (result.damaged) {
        outcome.Fail(std::to_string(result.damagedBlocks) + " damaged blocks of " +
                     result.dataFile + " were restored as zeros");
      }
    } else {
      fail(result.output, output.Errno(), "write",
           "cannot write " + result.output + ": " + std::strerror(output.Errno()));
    }
  }
  if (outcome.written.empty()) {
    outcome.removed.push_back(output.TemporaryPath());
    output.Discard();
    if (output.Replaces()) outcome.kept.push_back(result.output);
  }
  outcome.stopped = result.stopped;
  if (result.stopped) outcome.stopDetail = "after " + done;
  if (outcome.Done()) window.SetControlText(IDC_PATH, state.ImagePath);
  window.EnableControl(IDC_PROCESS, true);
  window.EnableControl(IDC_UNCOMPRESS, true);
  return result;
}

}  // namespace quarnel
