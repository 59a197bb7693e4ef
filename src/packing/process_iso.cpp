#include "packing/process_iso.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/image_file.h"
#include "common/output_file.h"
#include "common/platform.h"
#include "common/report.h"
#include "packing/audio_extraction.h"
#include "packing/block_codec.h"
#include "packing/block_workers.h"
#include "packing/compressed_format.h"
#include "packing/compression_mode.h"
#include "packing/media_ripping.h"
#include "packing/mp3_phases.h"

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

// One block's compression, done on any thread.
struct Job {
  const uint8_t* in;
  size_t length;
  uint8_t* out;
  size_t room;
  size_t stored;  // the compressed length; 0 on failure
};

struct Block {
  uint32_t start;
  uint32_t sectors;  // whole sectors read
  bool stored;       // on the data track: compressed and written
  XaTag tag;
  size_t job;
};

class BlockWriter {
 public:
  BlockWriter(AppState& state, Window& window, ProcessResult& result)
      : state_(state), window_(window), result_(result) {}

  bool Create(const std::string& dataPath, const std::string& tablePath) {
    if (!data_.Create(dataPath)) return CreateFailed(data_);
    if (!table_.Create(tablePath)) {
      data_.Discard();
      return CreateFailed(table_);
    }
    return true;
  }

  bool Append(const uint8_t* entry, size_t entrySize, const uint8_t* block, size_t length) {
    if (!table_.Write(entry, entrySize)) return WriteFailed(table_);
    if (!data_.Write(block, length)) return WriteFailed(data_);
    return true;
  }

  bool AppendTable(const uint8_t* bytes, size_t size) {
    return table_.Write(bytes, size) || WriteFailed(table_);
  }

  bool CloseTable() { return table_.Close() || WriteFailed(table_); }

  // Runs a phase that appends a section to the data file. When the data file cannot be written,
  // the section is cut off again: the blocks and any earlier section stay as they were.
  template <typename Phase>
  bool AppendSection(Phase phase) {
    const uint64_t start = data_.Position();
    if (phase(data_)) return true;
    result_.writeFailed = true;
    result_.failedFile = data_.Path();
    result_.fileError = data_.Errno();
    data_.CloseAndTruncate(start);
    return false;
  }
  bool CloseData() { return data_.Close() || WriteFailed(data_); }
  OutputFile& Data() { return data_; }

 private:
  bool CreateFailed(const OutputFile& f) {
    result_.createFailed = true;
    result_.failedFile = f.Path();
    result_.fileError = f.Errno();
    return false;
  }

  bool WriteFailed(const OutputFile& f) {
    result_.writeFailed = true;
    return Abandon(f.Path(), f.Errno(), "write");
  }

 public:
  // A compressed image with a hole in it is worse than none: both files go.
  bool Abandon(const std::string& file, int error, const char* failedTo) {
    if (result_.failedFile.empty()) {
      result_.failedFile = file;
      result_.fileError = error;
      LogF(state_, window_, "ERROR: cannot %s %s: %s; the compressed image was removed.", failedTo,
           file.c_str(), std::strerror(error));
    }
    data_.Discard();
    table_.Discard();
    return false;
  }

 private:
  AppState& state_;
  Window& window_;
  ProcessResult& result_;
  OutputFile data_;
  OutputFile table_;
};

}  // namespace

ProcessResult ProcessIso(AppState& state, Window& window, const std::string& workFolder) {
  ProcessResult result;
  ReadControlText(window, IDC_PATH, state.ImagePath, sizeof state.ImagePath);
  ImageFile image;
  if (!image.Open(state.ImagePath)) {
    result.openError = image.OpenError();
    return result;
  }
  result.opened = true;
  window.SetControlText(IDC_INFO_LOG, "");

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

  const size_t pathLength = std::strlen(state.ImagePath);
  if (pathLength + std::strlen(kind.extension) + std::strlen(kind.tableSuffix) >=
      sizeof state.ImagePath) {
    LogF(state, window, "ERROR: the path is too long for the compressed image's names: %s",
         state.ImagePath);
    result.pathTooLong = true;
    return result;
  }
  const std::string imagePath = state.ImagePath;
  std::strcat(state.ImagePath, kind.extension);
  result.dataFile = state.ImagePath;
  result.blockTable = result.dataFile + kind.tableSuffix;

  // Sound is cleared from the blocks as it is taken out, so a run that could not store it must
  // fail before anything is written: the encoder and the work folder are checked first.
  const bool tracksWanted = state.AudioTracks.audioTrackCount != 0 && audioOption;
  const bool xaWanted = mode == MODE_ZLIB_XA && AnyXaStreamRipped(state);
  const auto audioFailed = [&](const std::string& file, const std::string& why) {
    LogF(state, window, "ERROR: %s", why.c_str());
    result.failedFile = file;
    result.audioError = why;
    return result;
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
    if (!work.Make(workFolder, &folderError)) {
      return audioFailed(work.Path(), "cannot make the work folder " + work.Path() + ": " +
                                          std::strerror(folderError));
    }
    mp3.folder = work.Path();
  }

  BlockWriter writer(state, window, result);
  if (!writer.Create(result.dataFile, result.blockTable)) return result;

  const uint32_t sectorsPerBlock = kind.sectorsPerBlock;
  window.EnableControl(IDC_PROCESS, false);
  window.EnableControl(IDC_UNCOMPRESS, false);
  state.StopRequested = 0;
  AudioExtraction audio(state, window, mp3.folder);
  if (tracksWanted) audio.BeginTracks();
  ripper.SetUpCursor();

  // Blocks are read and ripped in order, compressed a batch at a time on every core, then written
  // in order with their progress, pump and stop test one block at a time.
  const uint32_t batchBlocks = mode == MODE_BZIP2 ? 16 : 128;
  const size_t room = size_t{sectorsPerBlock} * 2 * SECTOR_SIZE;
  std::vector<uint8_t> raw(size_t{batchBlocks} * kind.rawBlockLength);
  std::vector<uint8_t> packed(size_t{batchBlocks} * room);
  std::vector<Job> jobs;
  std::vector<Block> batch;
  BlockWorkers workers;
  std::vector<std::unique_ptr<BlockCompressor>> compressors;
  for (unsigned t = 0; t < workers.Threads(); ++t) {
    compressors.push_back(std::make_unique<BlockCompressor>());
  }
  const auto compress = [&](unsigned thread, size_t i) {
    Job& job = jobs[i];
    BlockCompressor& c = *compressors[thread];
    job.stored = mode == MODE_BZIP2 ? c.Bzip2(job.in, job.length, job.out, job.room)
                                    : c.Zlib(job.in, job.length, job.out, job.room);
  };
  uint32_t blockStart = 0;
  uint32_t runningOffset = 0;
  uint64_t sectorsDone = 0;
  bool ok = true;
  bool atEnd = false;
  while (ok && !atEnd && !result.stopped) {
    batch.clear();
    jobs.clear();
    while (batch.size() < batchBlocks) {
      uint8_t* in = raw.data() + batch.size() * kind.rawBlockLength;
      const size_t bytesRead = image.ReadStream(in, kind.rawBlockLength);
      if (bytesRead == 0) {
        atEnd = true;
        break;
      }
      Block block{blockStart, static_cast<uint32_t>(bytesRead / SECTOR_SIZE), false, XaTag{}, 0};
      // Without audio tracks the whole file is data, a partial last sector included.
      const bool behindDataTrack =
          state.AudioTracks.audioTrackCount != 0 && blockStart > state.dataTrackEnd;
      if (!behindDataTrack) {
        block.stored = true;
        if (blockStart > LAST_SYSTEM_SECTOR) {
          ripper.blockHoldsRippedXa = false;
          for (uint32_t i = 0; i < block.sectors && i < sectorsPerBlock; ++i) {
            ripper.RipSector(blockStart + i, in + i * SECTOR_SIZE);
          }
          if (mode == MODE_ZLIB_XA && ripper.blockHoldsRippedXa) {
            block.tag = audio.ExtractXaSector(blockStart, in, xaOption);
          }
        }
        block.job = jobs.size();
        jobs.push_back({in, bytesRead, packed.data() + batch.size() * room, room, 0});
      }
      if (tracksWanted) audio.ExtractTrackSectors(blockStart, in, block.sectors);
      batch.push_back(block);
      blockStart += block.sectors;
      if (bytesRead < kind.rawBlockLength) {
        atEnd = true;
        break;
      }
    }
    workers.Run(jobs.size(), compress);

    for (const Block& block : batch) {
      if (block.stored) {
        const Job& job = jobs[block.job];
        if (job.stored == 0) {  // cannot happen with twice the raw size as room; never store a hole
          ok = writer.Abandon(result.dataFile, EIO, "compress a block into");
          break;
        }
        uint8_t entry[16];
        const size_t entrySize = EncodeBlockEntry(entry, mode, runningOffset,
                                                  static_cast<uint32_t>(job.stored), block.tag);
        if (!writer.Append(entry, entrySize, job.out, job.stored)) {
          ok = false;
          break;
        }
        runningOffset += static_cast<uint32_t>(job.stored);
        result.blocks += 1;
      }
      sectorsDone += block.sectors;
      window.SetProgress(
          totalSectors == 0 ? 100u : static_cast<unsigned>(sectorsDone * 100 / totalSectors));
      window.PumpMessages();
      if (state.StopRequested) {
        result.stopped = true;
        break;
      }
    }
  }

  if (ok && image.ReadFailed()) {
    result.readFailed = true;
    ok = writer.Abandon(imagePath, image.ReadErrno(), "read");
  }
  if (ok && mode == MODE_BZIP2) {
    uint8_t closing[4];
    PutU32(closing, runningOffset);
    ok = writer.AppendTable(closing, sizeof closing);
  }
  if (ok) ok = writer.CloseTable();
  if (ok && !result.stopped) window.SetControlText(IDC_PATH, state.ImagePath);
  image.Close();
  audio.CloseOpenWavFiles();
  audio.EndTracks();
  // Sound that could not be stored fails the run, and its blocks go: their sound was cleared.
  const auto dropOutputs = [&](const std::string& file, const std::string& why) {
    result.writeFailed = false;
    result.failedFile = file.empty() ? result.dataFile : file;  // set: Abandon adds no line
    result.audioError = why;
    return writer.Abandon(result.failedFile, 0, "");
  };
  if (ok && audio.Failed()) ok = dropOutputs(audio.FailedFile(), audio.Failure());
  if (ok && !result.stopped && state.XaRecordTotal != 0 && xaOption) {
    ok = writer.AppendSection([&](OutputFile& data) {
      return XaRecordPhase(state, window, data, mp3, result.xaSection);
    });
    // The phase runs to its end; a stop asked for meanwhile skips what follows.
    result.stopped = state.StopRequested != 0;
  }
  if (ok && !result.stopped && tracksWanted) {
    ok = writer.AppendSection([&](OutputFile& data) {
      return AudioTrackPhase(state, window, data, mp3, result.audioSection);
    });
  }
  if (!ok && !mp3.failure.empty()) dropOutputs(mp3.failedFile, mp3.failure);
  if (ok) ok = writer.CloseData();
  window.EnableControl(IDC_PROCESS, true);
  window.EnableControl(IDC_UNCOMPRESS, true);

  result.rippedCount = ripper.RippedCount();
  if (ok && !result.stopped) {
    const uint64_t resultSize = writer.Data().Position();
    const uint64_t imageMb = imageSize >> 20;
    const uint64_t resultMb = resultSize >> 20;
    LogF(state, window, "- Result Size is %d Mb", static_cast<int>(resultMb));
    LogF(state, window, "- %d Medias ripped.", static_cast<int>(result.rippedCount));
    // Below a mebibyte the figure comes from the byte sizes.
    const uint64_t percent = imageMb != 0     ? resultMb * 100 / imageMb
                             : imageSize != 0 ? resultSize * 100 / imageSize
                                              : 100;
    LogF(state, window, "- %d%% smaller than original.", 100 - static_cast<int>(percent));
  }
  ripper.ReleaseVideoSource();
  window.PumpMessages();
  return result;
}

}  // namespace quarnel
