#include "packing/process_iso.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/disc_input.h"
#include "common/checksums.h"
#include "common/image_file.h"
#include "common/output_file.h"
#include "common/platform.h"
#include "common/report.h"
#include "packing/audio_extraction.h"
#include "packing/block_codec.h"
#include "packing/block_pipeline.h"
#include "packing/block_workers.h"
#include "packing/compressed_format.h"
#include "packing/compressed_writer.h"
#include "packing/compression_mode.h"
#include "packing/media_ripping.h"
#include "packing/mp3_phases.h"
#include "packing/verify_image.h"

namespace quarnel {

namespace {

// Sectors 0 to 16 (the system area and volume descriptors) are stored as they are.
constexpr uint32_t LAST_SYSTEM_SECTOR = 16;

// Forces every XA stream to be ripped when their sound is to become MP3.
void MarkAllXaStreams(AppState& state, Window& window) {
  uint32_t count = 0;
  for (MediaRecord& r : state.MediaTable) {
    if (r.kind == MEDIA_XA && r.rip == 0) {
      r.rip = 1;
      ++count;
    }
  }
  if (count != 0) {
    LogF(state, window, "Warning: %d XA Streams will be ripped but wasn't selected.", count);
  }
}

// Reports the compressed writer's failures and leftovers into the result and the log.
class WriterReport {
 public:
  WriterReport(AppState& state, Window& window, ProcessResult& result, CompressedWriter& writer)
      : state_(state), window_(window), result_(result), writer_(writer) {}

  bool Create() {
    if (writer_.Create(result_.dataFile, state_.CompressionMode)) return true;
    const OutputFile& f = *writer_.Failed();
    result_.createFailed = true;
    result_.busy = f.Busy();
    return Fail(f.Path(), f.Errno(),
                f.Busy() ? f.Path() + " is busy: another run reads or writes it"
                         : "cannot create " + f.Path() + ": " + std::strerror(f.Errno()));
  }

  // After a write or commit of the writer failed.
  bool WriteFailed() {
    const OutputFile* f = writer_.Failed();
    const std::string path = f != nullptr ? f->Path() : result_.dataFile;
    const int error = f != nullptr ? f->Errno() : EIO;
    result_.writeFailed = true;
    return Fail(path, error, "cannot write " + path + ": " + std::strerror(error));
  }

  // Runs a phase that appends a section to the data file; the phase logs its own failure.
  template <typename Phase>
  bool AppendSection(Phase phase) {
    if (phase(writer_.Data())) return true;
    if (result_.outcome.Failed()) return false;  // the phase has said why
    const OutputFile& data = writer_.Data();
    result_.writeFailed = true;
    result_.failedFile = data.Path();
    result_.fileError = data.Errno();
    result_.outcome.Fail(data.Errno() != 0
                             ? "cannot write " + data.Path() + ": " + std::strerror(data.Errno())
                             : "a section of " + data.Path() + " could not be written");
    return false;
  }

  // Restores the image from its temporaries, as a reader would, and compares it with `written`.
  bool Verify(const ChecksumDigests& written) {
    OutputFile& data = writer_.Data();
    if (!data.Flush() || !writer_.FlushTable()) return WriteFailed();
    const VerifyReport report =
        VerifyWrittenImage(state_, window_, data.TemporaryPath(), writer_.Table().TemporaryPath(),
                           state_.CompressionMode);
    if (report.stopped) {
      result_.stopped = true;
      result_.outcome.stopDetail = "while verifying the written image";
      return false;
    }
    if (report.Passed() && report.restored.size == written.size &&
        report.restored.sha1 == written.sha1) {
      result_.restoredSha1 = report.restored.sha1;
      return true;
    }
    return Fail(data.Path(), EIO,
                data.Path() + " does not restore what was compressed" +
                    (report.layout.problems.empty() ? std::string()
                                                    : ": " + report.layout.problems[0].Text()));
  }

  bool Commit() {
    if (!writer_.Commit()) {
      // The data file may already have its name: say so rather than call it kept.
      if (!writer_.Data().Staged()) result_.outcome.written.push_back(result_.dataFile);
      return WriteFailed();
    }
    result_.outcome.written = {result_.dataFile, result_.blockTable};
    return true;
  }

  void Discard() {
    const OutputFile* files[] = {&writer_.Data(), &writer_.Table()};
    for (const OutputFile* f : files) {
      if (f->Staged() && f->IsOpen()) result_.outcome.removed.push_back(f->TemporaryPath());
    }
    writer_.Discard();
    for (const std::string& name : {result_.dataFile, result_.blockTable}) {
      struct stat st;
      const bool written = !result_.outcome.written.empty() && name == result_.dataFile;
      if (!written && ::lstat(name.c_str(), &st) == 0) result_.outcome.kept.push_back(name);
    }
  }

  bool Fail(const std::string& file, int error, const std::string& why) {
    if (result_.failedFile.empty()) {
      result_.failedFile = file;
      result_.fileError = error;
      LogF(state_, window_, "ERROR: %s.", why.c_str());
      result_.outcome.Fail(why);
    }
    return false;
  }

 private:
  AppState& state_;
  Window& window_;
  ProcessResult& result_;
  CompressedWriter& writer_;
};

}  // namespace

ProcessResult ProcessIso(AppState& state, Window& window, const ProcessOptions& options) {
  ProcessResult result;
  Outcome& outcome = result.outcome;
  const std::string given = window.ControlText(IDC_PATH);
  ReadControlText(window, IDC_PATH, state.ImagePath, sizeof state.ImagePath);
  ImageFile image;
  DiscInput disc;
  if (!OpenDiscInput(given, disc, image) && disc.refusal.empty()) {
    result.openError = disc.openError;
    outcome.Fail("cannot open " + given + ": " + std::strerror(result.openError));
    return result;
  }
  result.opened = true;
  window.SetControlText(IDC_INFO_LOG, "");
  if (!disc.refusal.empty()) {
    LogF(state, window, "%s", disc.refusal.c_str());
    constexpr std::string_view prefix = "ERROR: ";
    const bool prefixed = disc.refusal.rfind(prefix, 0) == 0;
    std::string why = disc.refusal.substr(prefixed ? prefix.size() : 0);
    if (!why.empty() && why.back() == '.') why.pop_back();
    outcome.Fail(why);
    result.refused = true;
    return result;
  }
  // A set of one file per track: the blocks cover the data track's file and end with it, so that
  // restoring gives back that very file and no block takes sectors of the next one.
  const std::string imagePath = disc.dataTrackFile.empty() ? given : disc.dataTrackFile;
  uint64_t dataFileEnd = image.Size();
  bool dataFileOnly = false;
  for (size_t i = 0; i < disc.files.size() && i < image.FileCount(); ++i) {
    if (image.FileCount() > 1 && disc.files[i] == imagePath) {
      dataFileEnd = image.FileStart(i) + image.FileBytes(i);
      dataFileOnly = true;
    }
  }

  bool audioOption = window.IsChecked(IDC_RIP_AUDIO_MP3);
  const bool xaOption = window.IsChecked(IDC_RIP_XA_MP3);
  if (xaOption) {
    MarkAllXaStreams(state, window);
    if (audioOption) {
      audioOption = false;
      LogF(state, window, "Warning: Rip audio track disabled when Rip XA Streams is enable.");
    }
  }

  MediaRipper ripper(state);
  ripper.ChooseVideoSource(window, image);
  LogF(state, window, "Processing ISO:");
  const uint64_t imageSize = image.Size();
  LogF(state, window, "- Image Size is %d Mb", static_cast<int>(imageSize >> 20));
  const uint64_t totalSectors = imageSize / SECTOR_SIZE;

  ChooseCompressionMode(state, window);
  const uint32_t mode = state.CompressionMode;
  const CompressedKind& kind = KindOf(mode);
  const auto refuse = [&](const std::string& why) {
    LogF(state, window, "ERROR: %s.", why.c_str());
    outcome.Fail(why);
    result.refused = true;
    ripper.ReleaseVideoSource();
    return result;
  };

  std::string outputBase = imagePath;
  if (!options.outputDir.empty()) {
    const size_t slash = imagePath.rfind('/');
    outputBase = options.outputDir + (options.outputDir.back() == '/' ? "" : "/") +
                 imagePath.substr(slash == std::string::npos ? 0 : slash + 1);
  }
  if (outputBase.size() + std::strlen(kind.extension) + std::strlen(kind.tableSuffix) >=
      sizeof state.ImagePath) {
    result.pathTooLong = true;
    return refuse("the path is too long for the compressed image's names: " + outputBase);
  }
  // The reader takes an index without blocks for a damaged one: never write one.
  if (imageSize == 0 && mode == MODE_BZIP2) {
    return refuse(imagePath + " is empty: nothing to compress");
  }
  // Offsets are 32-bit and a stored block may take twice its raw length.
  const bool tracksBehind = state.AudioTracks.audioTrackCount != 0;
  const uint64_t storedRaw =
      dataFileOnly ? dataFileEnd
      : tracksBehind
          ? std::min<uint64_t>(imageSize,
                               (uint64_t{state.dataTrackEnd} + kind.sectorsPerBlock) * SECTOR_SIZE)
          : imageSize;
  if (2 * storedRaw > UINT32_MAX) {
    return refuse(imagePath +
                  " is too large: its compressed blocks could pass the 4 GiB the block table "
                  "can address");
  }
  const uint64_t blockCount = (storedRaw + kind.rawBlockLength - 1) / kind.rawBlockLength;
  const uint64_t sideFileSize = blockCount * kind.entrySize + (mode == MODE_BZIP2 ? 4 : 0);
  if (sideFileSize > EMULATOR_SIDE_FILE_LIMIT) {
    LogF(state, window,
         "Warning: the block table will be %llu bytes, over the %llu the emulator reads: the "
         "emulator will refuse it.",
         static_cast<unsigned long long>(sideFileSize),
         static_cast<unsigned long long>(EMULATOR_SIDE_FILE_LIMIT));
  }
  if (tracksBehind && !audioOption) {
    LogF(state, window,
         "Warning: the %d audio tracks are not kept in the compressed image; \"Rip Audio Tracks to "
         "MP3\" keeps them.",
         static_cast<int>(state.AudioTracks.audioTrackCount));
  }

  // Sound is cleared from the blocks as it is taken out, so a run that could not store it must
  // fail before anything is written: the encoder and the work folder are checked first.
  const bool tracksWanted = state.AudioTracks.audioTrackCount != 0 && audioOption;
  const bool xaWanted = mode == MODE_ZLIB_XA && AnyXaStreamRipped(state);
  const auto audioFailed = [&](const std::string& file, const std::string& why) {
    result.failedFile = file;
    result.audioError = why;
    return refuse(why);
  };
  Mp3Work mp3;
  if ((xaOption && state.XaRecordTotal != 0) || tracksWanted) {
    mp3.encoder = FindEncoder();
    if (mp3.encoder.empty()) {
      const std::string local = LocalEncoderPath();
      return audioFailed(local, "no MP3 encoder: neither " + local +
                                    " nor lame on PATH can be run; install the Debian package "
                                    "lame (apt-get install lame), or put the encoder at " +
                                    local);
    }
  }
  WorkFolder work;  // outlives `audio`, whose files lie in it
  if (tracksWanted || xaWanted) {
    int folderError = 0;
    if (!work.Make(options.workFolder, &folderError)) {
      return audioFailed(work.Path(), "cannot make the work folder " + work.Path() + ": " +
                                          std::strerror(folderError));
    }
    mp3.folder = work.Path();
  }

  result.dataFile = outputBase + kind.extension;
  std::snprintf(state.ImagePath, sizeof state.ImagePath, "%s", result.dataFile.c_str());
  result.blockTable = result.dataFile + kind.tableSuffix;

  CompressedWriter compressed;
  WriterReport writer(state, window, result, compressed);
  if (!writer.Create()) {
    writer.Discard();
    ripper.ReleaseVideoSource();
    return result;
  }

  const uint32_t sectorsPerBlock = kind.sectorsPerBlock;
  window.EnableControl(IDC_PROCESS, false);
  window.EnableControl(IDC_UNCOMPRESS, false);
  state.StopRequested = 0;
  AudioExtraction audio(state, window, mp3.folder);
  if (tracksWanted) audio.BeginTracks();
  ripper.SetUpCursor();

  // One slot of a batch: the raw block as read and ripped, and its compressed form.
  struct Slot {
    uint32_t start;
    uint32_t sectors;  // whole sectors read
    size_t length;     // bytes read
    bool stored;       // on the data track: compressed and written
    XaTag tag;
    size_t packed;  // the compressed length; 0 on failure
  };
  const size_t batchBlocks = mode == MODE_BZIP2 ? 16 : 128;
  const size_t room = size_t{sectorsPerBlock} * 2 * SECTOR_SIZE;
  std::vector<uint8_t> raw(batchBlocks * kind.rawBlockLength);
  std::vector<uint8_t> packed(batchBlocks * room);
  std::vector<Slot> slots(batchBlocks);
  BlockWorkers workers;
  std::vector<std::unique_ptr<BlockCompressor>> compressors;
  for (unsigned t = 0; t < workers.Threads(); ++t) {
    compressors.push_back(std::make_unique<BlockCompressor>());
  }
  uint32_t blockStart = 0;
  uint64_t sectorsDone = 0;
  bool atEnd = false;
  Checksums written;  // of the raw blocks as compressed, for the verification

  BlockSteps steps;
  steps.read = [&](size_t i) {
    if (atEnd) return false;
    uint8_t* in = raw.data() + i * kind.rawBlockLength;
    const uint64_t at = uint64_t{blockStart} * SECTOR_SIZE;
    const bool inDataFile = at < dataFileEnd;
    const size_t want =
        dataFileOnly && inDataFile
            ? static_cast<size_t>(std::min<uint64_t>(kind.rawBlockLength, dataFileEnd - at))
            : kind.rawBlockLength;
    const size_t bytesRead = image.ReadStream(in, want);
    if (bytesRead == 0) {
      atEnd = true;
      return false;
    }
    Slot& slot = slots[i];
    slot = Slot{
        blockStart, static_cast<uint32_t>(bytesRead / SECTOR_SIZE), bytesRead, false, XaTag{}, 0};
    // Without audio tracks the whole file is data, a partial last sector included.
    const bool behindDataTrack =
        dataFileOnly ? !inDataFile : tracksBehind && blockStart > state.dataTrackEnd;
    if (!behindDataTrack) {
      slot.stored = true;
      if (blockStart > LAST_SYSTEM_SECTOR) {
        ripper.blockHoldsRippedXa = false;
        for (uint32_t k = 0; k < slot.sectors && k < sectorsPerBlock; ++k) {
          ripper.RipSector(blockStart + k, in + k * SECTOR_SIZE);
        }
        if (mode == MODE_ZLIB_XA && ripper.blockHoldsRippedXa) {
          slot.tag = audio.ExtractXaSector(blockStart, in, xaOption);
        }
      }
    }
    if (tracksWanted) audio.ExtractTrackSectors(blockStart, in, slot.sectors);
    blockStart += slot.sectors;
    if (bytesRead < want) atEnd = true;
    return true;
  };
  steps.code = [&](unsigned thread, size_t i) {
    Slot& slot = slots[i];
    if (!slot.stored) return;
    const uint8_t* in = raw.data() + i * kind.rawBlockLength;
    uint8_t* out = packed.data() + i * room;
    BlockCompressor& c = *compressors[thread];
    slot.packed = mode == MODE_BZIP2 ? c.Bzip2(in, slot.length, out, room)
                                     : c.Zlib(in, slot.length, out, room);
  };
  steps.write = [&](size_t i) {
    const Slot& slot = slots[i];
    sectorsDone += slot.sectors;
    if (!slot.stored) return true;
    if (slot.packed == 0) {  // cannot happen with twice the raw size as room; never store a hole
      return writer.Fail(
          result.dataFile, EIO,
          "cannot compress block " + std::to_string(result.blocks) + " into " + result.dataFile);
    }
    if (!compressed.AppendBlock(packed.data() + i * room, static_cast<uint32_t>(slot.packed),
                                slot.tag)) {
      return writer.WriteFailed();
    }
    if (options.verify) written.Update(raw.data() + i * kind.rawBlockLength, slot.length);
    result.blocks += 1;
    return true;
  };
  steps.progress = [&] {
    return totalSectors == 0 ? 100u : static_cast<unsigned>(sectorsDone * 100 / totalSectors);
  };
  const PipelineEnd end = RunBlockPipeline(state, window, workers, batchBlocks, steps);
  result.stopped = end == PipelineEnd::Stopped;
  bool ok = end != PipelineEnd::Failed;

  if (ok && image.ReadFailed()) {
    result.readFailed = true;
    ok = writer.Fail(imagePath, image.ReadErrno(),
                     "cannot read " + imagePath + ": " + std::strerror(image.ReadErrno()));
  }
  if (ok && !result.stopped) ok = compressed.EndBlocks() || writer.WriteFailed();
  image.Close();
  audio.CloseOpenWavFiles();
  audio.EndTracks();
  // Sound that could not be stored fails the run, and its blocks go: their sound was cleared.
  const auto audioStoreFailed = [&](const std::string& file, const std::string& why) {
    result.audioError = why;
    // The phase or the extraction has logged its ERROR line already.
    if (result.failedFile.empty()) result.failedFile = file.empty() ? result.dataFile : file;
    outcome.Fail(why);
    return false;
  };
  if (ok && audio.Failed()) ok = audioStoreFailed(audio.FailedFile(), audio.Failure());
  // A stop from here on leaves a whole image: the blocks are all written.
  if (ok && !result.stopped && state.XaRecordTotal != 0 && xaOption) {
    ok = writer.AppendSection([&](OutputFile& data) {
      if (XaRecordPhase(state, window, data, mp3, result.xaSection)) return true;
      if (!mp3.failure.empty()) audioStoreFailed(mp3.failedFile, mp3.failure);
      return false;
    });
    // The phase runs to its end; a stop asked for meanwhile skips what follows.
    if (state.StopRequested != 0) {
      result.stopped = true;
      outcome.stopDetail = "after the blocks, with the compressed image complete";
    }
  }
  if (ok && !result.stopped && tracksWanted) {
    ok = writer.AppendSection([&](OutputFile& data) {
      if (AudioTrackPhase(state, window, data, mp3, result.audioSection)) return true;
      if (!mp3.failure.empty()) audioStoreFailed(mp3.failedFile, mp3.failure);
      return false;
    });
  }
  const bool blocksDone = ok && (!result.stopped || !outcome.stopDetail.empty());
  if (blocksDone && options.verify) ok = writer.Verify(written.Finish());
  if (blocksDone && ok) ok = writer.Commit();
  if (!ok || !blocksDone) {
    if (result.stopped && outcome.stopDetail.empty()) {
      outcome.stopDetail = "after " + std::to_string(result.blocks) + " blocks";
    }
    writer.Discard();
  }
  outcome.stopped = result.stopped;
  if (outcome.Done()) window.SetControlText(IDC_PATH, state.ImagePath);
  window.EnableControl(IDC_PROCESS, true);
  window.EnableControl(IDC_UNCOMPRESS, true);

  result.rippedCount = ripper.RippedCount();
  if (ok && !result.stopped) {
    const uint64_t resultSize = compressed.Data().Position();
    const uint64_t imageMb = imageSize >> 20;
    const uint64_t resultMb = resultSize >> 20;
    LogF(state, window, "- Result Size is %d Mb", static_cast<int>(resultMb));
    LogF(state, window, "- %d Medias ripped.", static_cast<int>(result.rippedCount));
    // Below a mebibyte the figure comes from the byte sizes.
    const uint64_t percent = imageMb != 0     ? resultMb * 100 / imageMb
                             : imageSize != 0 ? resultSize * 100 / imageSize
                                              : 100;
    LogF(state, window, "- %d%% smaller than original.", 100 - static_cast<int>(percent));
    if (options.verify) {
      LogF(state, window, "- SHA-1 of the restored image: %s", result.restoredSha1.c_str());
    }
  }
  ripper.ReleaseVideoSource();
  window.PumpMessages();
  return result;
}

}  // namespace quarnel
