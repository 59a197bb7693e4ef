#include "packing/process_disc.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "analysis/disc_input.h"
#include "analysis/media_marks.h"
#include "common/checksums.h"
#include "common/image_file.h"
#include "common/image_path.h"
#include "common/output_file.h"
#include "common/platform.h"
#include "common/sizes.h"
#include "packing/audio_extraction.h"
#include "packing/block_codec.h"
#include "packing/block_pipeline.h"
#include "packing/block_workers.h"
#include "packing/compressed_writer.h"
#include "packing/lossless_tracks.h"
#include "packing/media_ripping.h"
#include "packing/mp3_phases.h"
#include "packing/verify_image.h"

namespace quarnel {

namespace {

// What the run decided before it wrote anything.
struct Plan {
  std::string imagePath;     // the data track's file: the outputs are named after it
  uint64_t imageSize = 0;    // every byte of the disc as opened
  uint64_t dataFileEnd = 0;  // where the blocks end in a set of one file per track
  bool dataFileOnly = false;
  bool xaOption = false;
  bool audioOption = false;  // after the rule that XA MP3 turns it off
  bool tracksWanted = false;
  bool xaWanted = false;  // ripped XA sectors are decoded into WAV files
  CompressionMode mode = CompressionMode::None;
  std::vector<MediaRecord> media;  // the run's marks: the user's and those the XA option adds
};

class ProcessRun {
 public:
  ProcessRun(const DiscAnalysis& analysis, const ProcessOptions& options, Reporter& reporter)
      : analysis_(analysis), options_(options), reporter_(reporter) {}

  ProcessReport Run();

 private:
  bool OpenSource();
  void ApplyOptions();
  bool CheckLimits();
  std::vector<std::pair<std::string, off_t>> StandingOutputs() const;
  bool PassOverExisting();
  bool CheckExisting();
  void NoteTracksNotKept();
  bool FindSoundEncoder();
  bool MakeWorkFolder();
  bool CreateOutputs();
  bool WriteBlocks();
  void SetUpBlockSteps(BlockSteps& steps);
  bool ReadBlock(size_t slot);
  bool StoreBlock(size_t slot);
  bool EndBlocks();
  bool AppendSections();
  bool KeepLossless();
  bool VerifyWritten();
  bool Commit();
  void Discard();
  void LogReplacedWorkFiles();
  void LogClosingFigures();

  bool Refuse(const std::string& why, const std::string& file = {});
  bool Fail(const std::string& file, const std::string& why);
  // The file a sound failure concerns: the work file named, else the data file.
  std::string SoundFile(const std::string& file) const {
    return file.empty() ? report_.dataFile : file;
  }
  bool WriteFailed();

  const DiscAnalysis& analysis_;
  const ProcessOptions& options_;
  Reporter& reporter_;
  ProcessReport report_;
  Plan plan_;

  ImageFile image_;
  DiscInput disc_;
  std::unique_ptr<MediaRipper> ripper_;
  Mp3Work mp3_;
  WorkFolder work_;  // outlives `audio_`, whose files lie in it
  std::unique_ptr<AudioExtraction> audio_;
  CompressedWriter writer_;
  std::unique_ptr<LosslessTracks> lossless_;
  bool stopped_ = false;
  Checksums written_;  // of the raw blocks as compressed, for the verification

  // One slot of a batch: the raw block as read and ripped, and its compressed form.
  struct Slot {
    uint32_t start = 0;
    uint32_t sectors = 0;  // whole sectors read
    size_t length = 0;     // bytes read
    bool stored = false;   // on the data track: compressed and written
    XaTag tag{};
    size_t packed = 0;  // the compressed length; 0 on failure
  };
  std::vector<uint8_t> raw_;
  std::vector<uint8_t> packed_;
  std::vector<Slot> slots_;
  size_t room_ = 0;
  uint32_t blockStart_ = 0;
  uint64_t sectorsDone_ = 0;
  bool atEnd_ = false;
};

// The run's one failure goes into the outcome, whose last line the front end shows.
bool ProcessRun::Refuse(const std::string& why, const std::string& file) {
  report_.outcome.Fail(why);
  report_.refused = true;
  report_.failedFile = file;
  return false;
}

// Keeps the first failure; the outputs are discarded by the caller.
bool ProcessRun::Fail(const std::string& file, const std::string& why) {
  if (report_.outcome.Failed()) return false;
  report_.failedFile = file;
  report_.outcome.Fail(why);
  return false;
}

bool ProcessRun::WriteFailed() {
  const OutputFile* f = writer_.Failed();
  const std::string path = f != nullptr ? f->Path() : report_.dataFile;
  const std::string error = writer_.Error();
  return Fail(path, !error.empty() ? error : "cannot write " + path + ": " + std::strerror(EIO));
}

// The disc the analysis opened, opened again through the same rules; a set of one file per track
// is read up to the end of the data track's file, so that restoring gives back that very file.
bool ProcessRun::OpenSource() {
  if (!OpenDiscInput(analysis_.ImagePath, disc_, image_)) {
    if (disc_.refusal.empty()) {
      const std::string& path = analysis_.ImagePath;
      return Refuse("cannot open " + path + ": " + std::strerror(disc_.openError), path);
    }
    return Refuse(disc_.refusal, analysis_.ImagePath);
  }
  plan_.imagePath = disc_.dataTrackFile.empty() ? analysis_.ImagePath : disc_.dataTrackFile;
  plan_.imageSize = image_.Size();
  plan_.dataFileEnd = image_.Size();
  for (size_t i = 0; i < disc_.files.size() && i < image_.FileCount(); ++i) {
    if (image_.FileCount() > 1 && disc_.files[i] == plan_.imagePath) {
      plan_.dataFileEnd = image_.FileStart(i) + image_.FileBytes(i);
      plan_.dataFileOnly = true;
    }
  }
  report_.imageSize = plan_.imageSize;
  for (const std::string& file : disc_.files) {
    struct stat st;
    if (::stat(file.c_str(), &st) == 0) report_.sizeBefore += static_cast<uint64_t>(st.st_size);
  }
  report_.dataTrackBefore = plan_.dataFileOnly ? plan_.dataFileEnd
                            : analysis_.HasAudioTracks()
                                ? (uint64_t{analysis_.dataTrackEnd} + 1) * SECTOR_SIZE
                                : plan_.imageSize;
  return true;
}

// The options as the run applies them: "Rip Xa Streams to MP3" rips every XA stream and turns the
// audio tracks off; then the video source and the kind.
void ProcessRun::ApplyOptions() {
  plan_.media.assign(analysis_.MediaTable, analysis_.MediaTable + MEDIA_TABLE_SIZE);
  plan_.xaOption = options_.xaMp3;
  plan_.audioOption = options_.audioMp3;
  if (plan_.xaOption) {
    uint32_t forced = 0;
    for (MediaRecord& r : plan_.media) {
      if (r.kind == MEDIA_XA && r.rip == 0) {
        r.rip = 1;
        ++forced;
      }
    }
    report_.forcedXaMarks = forced;
    if (forced != 0) {
      reporter_.LogF("Warning: %d XA Streams will be ripped but wasn't selected.", forced);
    }
    if (plan_.audioOption) {
      plan_.audioOption = false;
      reporter_.Log("Warning: Rip audio track disabled when Rip XA Streams is enable.");
    }
  }
  bool xaRipped = false;
  for (const MediaRecord& r : plan_.media) xaRipped |= r.rip != 0 && r.kind == MEDIA_XA;
  // The video source is chosen from the run's marks, the forced ones included.
  ripper_ = std::make_unique<MediaRipper>(plan_.media.data(), analysis_.Ff8SearchMethod);
  ripper_->ChooseVideoSource(options_.smallestSource, image_, reporter_);

  reporter_.Log("Processing ISO:");
  reporter_.LogF("- Image Size is %s Mb", MegabytesText(report_.sizeBefore).c_str());
  plan_.mode = ChooseCompressionMode(options_.compression, xaRipped, reporter_);
  report_.mode = plan_.mode;
  plan_.tracksWanted = analysis_.HasAudioTracks() && plan_.audioOption;
  plan_.xaWanted = plan_.mode == CompressionMode::ZlibXa && xaRipped;
}

// What the format and the emulator allow, checked before anything is written.
bool ProcessRun::CheckLimits() {
  const CompressedKind& kind = KindOf(plan_.mode);
  const std::string base = InFolder(options_.outputDir, plan_.imagePath);
  if (!FitsImagePath(base + kind.extension + kind.tableSuffix)) {
    return Refuse("the path is too long for the compressed image's names: " + base);
  }
  const std::string tooLong = CompressedWriter::NameTooLong(base + kind.extension, plan_.mode);
  if (!tooLong.empty()) {
    return Refuse("the name " + tooLong +
                      " is too long for the file system with the suffixes of its work files",
                  tooLong);
  }
  // The reader takes an index without blocks for a damaged one: never write one.
  if (plan_.imageSize == 0 && kind.closingOffset) {
    return Refuse(plan_.imagePath + " is empty: nothing to compress");
  }
  // Offsets are 32-bit and a stored block may take twice its raw length.
  const bool tracksBehind = analysis_.HasAudioTracks();
  const uint64_t storedRaw =
      plan_.dataFileOnly ? plan_.dataFileEnd
      : tracksBehind     ? std::min<uint64_t>(
                           plan_.imageSize,
                           (uint64_t{analysis_.dataTrackEnd} + kind.sectorsPerBlock) * SECTOR_SIZE)
                     : plan_.imageSize;
  if (2 * storedRaw > UINT32_MAX) {
    return Refuse(plan_.imagePath +
                  " is too large: its compressed blocks could pass the 4 GiB the block table "
                  "can address");
  }
  const uint64_t blockCount = (storedRaw + kind.rawBlockLength - 1) / kind.rawBlockLength;
  const uint64_t sideFileSize = (blockCount + (kind.closingOffset ? 1 : 0)) * kind.entrySize;
  if (sideFileSize > EMULATOR_SIDE_FILE_LIMIT) {
    reporter_.LogF(
        "Warning: the block table will be %llu bytes, over the %llu the emulator reads: the "
        "emulator will refuse it.",
        static_cast<unsigned long long>(sideFileSize),
        static_cast<unsigned long long>(EMULATOR_SIDE_FILE_LIMIT));
  }
  report_.dataFile = base + kind.extension;
  report_.blockTable = report_.dataFile + kind.tableSuffix;
  return true;
}

// What stands at the outputs' names, with its size in bytes.
std::vector<std::pair<std::string, off_t>> ProcessRun::StandingOutputs() const {
  std::vector<std::pair<std::string, off_t>> existing;
  for (const std::string& name : {report_.dataFile, report_.blockTable}) {
    struct stat st;
    if (::lstat(name.c_str(), &st) == 0) existing.emplace_back(name, st.st_size);
  }
  return existing;
}

// With --skip-existing an input whose outputs stand is passed over before anything else is said.
bool ProcessRun::PassOverExisting() {
  if (options_.existing != ExistingOutputs::Skip) return false;
  const auto existing = StandingOutputs();
  if (existing.empty()) return false;
  const std::string& name = existing.front().first;
  report_.skipped = true;
  report_.outcome.kept.push_back(name);
  report_.outcome.notes.push_back(name + " exists and was passed over");
  return true;
}

// An existing output is replaced only with consent, asked once the run can no longer fail before
// writing; the window has always replaced.
bool ProcessRun::CheckExisting() {
  if (options_.existing != ExistingOutputs::Ask) return true;
  for (const auto& [name, size] : StandingOutputs()) {
    const std::string detail =
        name + " (" + std::to_string(size) + " bytes) is replaced by the new compressed image.";
    if (!reporter_.ConfirmReplace(name, detail)) {
      report_.outcome.kept.push_back(name);
      return Refuse(
          name + " exists" + (options_.names.replace.empty() ? "" : "; " + options_.names.replace),
          name);
    }
  }
  return true;
}

// Audio tracks neither kept as MP3 nor as FLAC are lost to the compressed image: said mid-log, in
// the run's last line and in the report.
void ProcessRun::NoteTracksNotKept() {
  const int tracks = static_cast<int>(analysis_.AudioTracks.audioTrackCount);
  if (options_.keepLossless) {
    reporter_.LogF("- The %d audio tracks are kept beside the compressed image as FLAC only.",
                   tracks);
    return;
  }
  reporter_.LogF("Warning: the %d audio tracks are not kept in the compressed image; %s.", tracks,
                 options_.names.keepAudio.c_str());
  report_.outcome.notes.push_back("the " + std::to_string(tracks) + " audio tracks were not kept");
  report_.audioTracksNotKept = static_cast<uint32_t>(tracks);
  const uint64_t dataEnd = (uint64_t{analysis_.dataTrackEnd} + 1) * SECTOR_SIZE;
  report_.audioBytesNotKept = report_.sizeBefore > dataEnd ? report_.sizeBefore - dataEnd : 0;
}

// Sound is cleared from the blocks as it is taken out, so a run that could not store it must fail
// before anything is written: the encoder and the work folder are checked first.
bool ProcessRun::FindSoundEncoder() {
  if ((plan_.xaOption && analysis_.XaRecordTotal != 0) || plan_.tracksWanted) {
    std::string why;
    mp3_.encoder = FindEncoder(&why);
    if (mp3_.encoder.empty()) {
      if (plan_.tracksWanted) why += "; or " + options_.names.dropAudio + " to go on without them";
      return Refuse(why, LocalEncoderPath());
    }
    mp3_.parallel = options_.encoders != 0 ? options_.encoders
                                           : std::max(1u, std::thread::hardware_concurrency());
  }
  return true;
}

// Without a folder asked for, the work files go to a private folder beside the outputs, not to a
// small temporary file system.
bool ProcessRun::MakeWorkFolder() {
  if (plan_.tracksWanted || plan_.xaWanted) {
    const std::string folder = FolderOf(report_.dataFile);
    const std::string parent = folder.empty() ? "." : folder;
    std::string why;
    if (!work_.Make(options_.workFolder, parent, &why)) return Refuse(why, work_.Path());
    mp3_.folder = &work_;
  }
  return true;
}

bool ProcessRun::CreateOutputs() {
  const bool created = writer_.Create(report_.dataFile, plan_.mode);
  if (!writer_.RepairLine().empty()) reporter_.Log("- " + writer_.RepairLine());
  if (created) return true;
  Fail(writer_.Failed()->Path(), writer_.Error());
  Discard();
  return false;
}

// Reads the next block into batch slot `slot`, rips its sectors and takes its sound out.
bool ProcessRun::ReadBlock(size_t i) {
  if (atEnd_) return false;
  const CompressedKind& kind = KindOf(plan_.mode);
  uint8_t* in = raw_.data() + i * kind.rawBlockLength;
  const uint64_t at = uint64_t{blockStart_} * SECTOR_SIZE;
  const bool inDataFile = at < plan_.dataFileEnd;
  const size_t want =
      plan_.dataFileOnly && inDataFile
          ? static_cast<size_t>(std::min<uint64_t>(kind.rawBlockLength, plan_.dataFileEnd - at))
          : kind.rawBlockLength;
  const size_t bytesRead = image_.ReadStream(in, want);
  if (bytesRead == 0) {
    atEnd_ = true;
    return false;
  }
  Slot& slot = slots_[i];
  slot = Slot{blockStart_, static_cast<uint32_t>(bytesRead / SECTOR_SIZE), bytesRead, false, {}, 0};
  // Without audio tracks the whole file is data, a partial last sector included.
  const bool behindDataTrack =
      plan_.dataFileOnly ? !inDataFile
                         : analysis_.HasAudioTracks() && blockStart_ > analysis_.dataTrackEnd;
  if (!behindDataTrack) {
    slot.stored = true;
    if (blockStart_ > LAST_SYSTEM_SECTOR) {
      ripper_->blockHoldsRippedXa = false;
      for (uint32_t k = 0; k < slot.sectors && k < kind.sectorsPerBlock; ++k) {
        ripper_->RipSector(blockStart_ + k, in + k * SECTOR_SIZE);
      }
      if (kind.xaTags && ripper_->blockHoldsRippedXa) {
        slot.tag = audio_->ExtractXaSector(blockStart_, in, plan_.xaOption);
      }
    }
  }
  if (plan_.tracksWanted) audio_->ExtractTrackSectors(blockStart_, in, slot.sectors);
  blockStart_ += slot.sectors;
  if (bytesRead < want) atEnd_ = true;
  return true;
}

bool ProcessRun::StoreBlock(size_t i) {
  const Slot& slot = slots_[i];
  sectorsDone_ += slot.sectors;
  if (!slot.stored) return true;
  if (slot.packed == 0) {  // cannot happen with twice the raw size as room; never store a hole
    return Fail(report_.dataFile, "cannot compress block " + std::to_string(report_.blocks) +
                                      " into " + report_.dataFile);
  }
  if (!writer_.AppendBlock(packed_.data() + i * room_, static_cast<uint32_t>(slot.packed),
                           slot.tag)) {
    return WriteFailed();
  }
  const size_t rawLength = KindOf(plan_.mode).rawBlockLength;
  if (options_.verify) written_.Update(raw_.data() + i * rawLength, slot.length);
  report_.blocks += 1;
  return true;
}

// Blocks are read and ripped in order on this thread, compressed a batch at a time on every core
// with one codec state per thread, and written in order.
bool ProcessRun::WriteBlocks() {
  const CompressedKind& kind = KindOf(plan_.mode);
  room_ = size_t{kind.sectorsPerBlock} * 2 * SECTOR_SIZE;
  raw_.resize(kind.batchBlocks * kind.rawBlockLength);
  packed_.resize(kind.batchBlocks * room_);
  slots_.resize(kind.batchBlocks);
  BlockWorkers workers;
  std::vector<std::unique_ptr<BlockCompressor>> compressors;
  for (unsigned t = 0; t < workers.Threads(); ++t) {
    compressors.push_back(std::make_unique<BlockCompressor>());
  }
  const uint64_t totalSectors = plan_.imageSize / SECTOR_SIZE;
  BlockSteps steps;
  steps.read = [&](size_t i) { return ReadBlock(i); };
  steps.code = [&](unsigned thread, size_t i) {
    Slot& slot = slots_[i];
    if (!slot.stored) return;
    const uint8_t* in = raw_.data() + i * kind.rawBlockLength;
    uint8_t* out = packed_.data() + i * room_;
    BlockCompressor& c = *compressors[thread];
    slot.packed = kind.codec == BlockCodec::Bzip2 ? c.Bzip2(in, slot.length, out, room_)
                                                  : c.Zlib(in, slot.length, out, room_);
  };
  steps.write = [&](size_t i) { return StoreBlock(i); };
  steps.progress = [&] {
    return totalSectors == 0 ? 100u : static_cast<unsigned>(sectorsDone_ * 100 / totalSectors);
  };
  const PipelineEnd end = RunBlockPipeline(reporter_, workers, kind.batchBlocks, steps);
  stopped_ = end == PipelineEnd::Stopped;
  if (stopped_) report_.outcome.stopDetail = "after " + std::to_string(report_.blocks) + " blocks";
  return end != PipelineEnd::Failed;
}

// After the block loop: the closing offset, the work files closed, and what failed meanwhile.
bool ProcessRun::EndBlocks() {
  bool ok = true;
  if (image_.ReadFailed()) {
    const int error = image_.ReadErrno();
    ok = Fail(plan_.imagePath, "cannot read " + plan_.imagePath + ": " + std::strerror(error));
  }
  if (ok && !stopped_) ok = writer_.EndBlocks() || WriteFailed();
  image_.Close();
  audio_->CloseOpenWavFiles();
  audio_->EndTracks();
  // Sound that could not be stored fails the run, and its blocks go: their sound was cleared.
  if (ok && audio_->Failed()) ok = Fail(SoundFile(audio_->FailedFile()), audio_->Failure());
  return ok;
}

// The MP3 sections behind the blocks. A stop while the encoder runs ends it and the run: nothing
// is committed.
bool ProcessRun::AppendSections() {
  const auto phase = [&](auto run) {
    if (run(writer_.Data())) return true;
    if (mp3_.stopped) {
      stopped_ = true;
      report_.outcome.stopDetail = "while the sound was converted";
      return true;
    }
    if (!mp3_.failure.empty()) return Fail(SoundFile(mp3_.failedFile), mp3_.failure);
    const OutputFile& data = writer_.Data();
    return Fail(data.Path(),
                data.Errno() != 0
                    ? "cannot write " + data.Path() + ": " + std::strerror(data.Errno())
                    : "a section of " + data.Path() + " could not be written");
  };
  if (analysis_.XaRecordTotal != 0 && plan_.xaOption) {
    const bool ok = phase([&](OutputFile& data) {
      return XaRecordPhase(analysis_, *audio_, reporter_, data, mp3_, report_.xaSection);
    });
    if (!ok || stopped_) return ok;
  }
  if (plan_.tracksWanted) {
    return phase([&](OutputFile& data) {
      return AudioTrackPhase(analysis_, reporter_, data, mp3_, report_.audioSection);
    });
  }
  return true;
}

// The FLACs of the audio tracks, the cue sheet and the list of the dump's files, staged to be
// committed with the image.
bool ProcessRun::KeepLossless() {
  lossless_ = std::make_unique<LosslessTracks>(analysis_, report_.dataFile);
  if (lossless_->Write(ripper_->RippedCount() != 0, reporter_)) {
    lossless_->AddTo(writer_);
    return true;
  }
  if (lossless_->Stopped()) {
    stopped_ = true;
    report_.outcome.stopDetail = "while the audio tracks were kept lossless";
    return true;
  }
  return Fail(report_.dataFile, lossless_->Error());
}

// Restores the image from its temporaries, as a reader would, and compares it with what was
// compressed.
bool ProcessRun::VerifyWritten() {
  const ChecksumDigests written = written_.Finish();
  OutputFile& data = writer_.Data();
  if (!data.Flush() || !writer_.FlushTable()) return WriteFailed();
  const VerifyReport verified = VerifyWrittenImage(reporter_, data.TemporaryPath(),
                                                   writer_.Table().TemporaryPath(), plan_.mode);
  if (verified.stopped) {
    stopped_ = true;
    report_.outcome.stopDetail = "while verifying the written image";
    return true;
  }
  if (verified.Passed() && verified.restored.size == written.size &&
      verified.restored.sha1 == written.sha1) {
    report_.restoredSha1 = verified.restored.sha1;
    return true;
  }
  const std::vector<ImageProblem>& problems = verified.layout.problems;
  return Fail(data.Path(), data.Path() + " does not restore what was compressed" +
                               (problems.empty() ? std::string() : ": " + problems[0].Text()));
}

bool ProcessRun::Commit() {
  if (writer_.Commit()) {
    report_.outcome.written = {report_.dataFile, report_.blockTable};
    if (lossless_) {
      report_.losslessFiles = lossless_->Names();
      report_.losslessBytes = lossless_->Bytes();
      report_.outcome.written.insert(report_.outcome.written.end(), report_.losslessFiles.begin(),
                                     report_.losslessFiles.end());
    }
    return true;
  }
  // A commit that failed after its record was written left the new image whole on disk, to be
  // finished by the next command that opens it: its error line says which names hold what.
  if (writer_.Recorded() && !writer_.Data().Staged()) {
    report_.outcome.written.push_back(report_.dataFile);
  }
  return WriteFailed();
}

void ProcessRun::Discard() {
  Outcome& outcome = report_.outcome;
  if (!writer_.Recorded()) {
    for (const OutputFile* f :
         {static_cast<const OutputFile*>(&writer_.Data()), &writer_.Table()}) {
      if (f->Staged() && f->IsOpen()) outcome.removed.push_back(f->TemporaryPath());
    }
  }
  writer_.Discard();
  if (lossless_) lossless_->Discard();
  for (const std::string& name : {report_.dataFile, report_.blockTable}) {
    struct stat st;
    const bool written = !outcome.written.empty() && name == report_.dataFile;
    if (!written && ::lstat(name.c_str(), &st) == 0) outcome.kept.push_back(name);
  }
}

// A work folder that was asked for is kept with its files: the ones this run replaced are named.
void ProcessRun::LogReplacedWorkFiles() {
  if (mp3_.folder == nullptr || options_.workFolder.empty()) return;
  std::vector<std::string> names = audio_->ReplacedFiles();
  names.insert(names.end(), work_.ReplacedFiles().begin(), work_.ReplacedFiles().end());
  if (names.empty()) return;
  std::string list;
  for (size_t i = 0; i < names.size() && i < 5; ++i) list += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > 5) list += " and " + std::to_string(names.size() - 5) + " more";
  reporter_.LogF("Warning: %zu files of an earlier run in %s were replaced: %s.", names.size(),
                 work_.Path().c_str(), list.c_str());
}

void ProcessRun::LogClosingFigures() {
  const uint64_t blockArea = writer_.BlockAreaBytes();
  report_.dataTrackAfter = blockArea + writer_.Table().Position();
  report_.sizeAfter =
      writer_.Data().Position() + writer_.Table().Position() + report_.losslessBytes;
  reporter_.LogF("- Result Size is %s Mb", MegabytesText(report_.sizeAfter).c_str());
  reporter_.LogF("- %d Medias ripped.", static_cast<int>(report_.rippedCount));
  // A tiny disc can grow: "-13% smaller" would be a riddle.
  const int smaller = PercentSmaller(report_.sizeBefore, report_.sizeAfter);
  if (smaller >= 0) {
    reporter_.LogF("- %d%% smaller than original.", smaller);
  } else {
    reporter_.LogF("- %d%% larger than original.", -smaller);
  }
  if (options_.verify) {
    reporter_.LogF("- SHA-1 of the restored image: %s", report_.restoredSha1.c_str());
  }
}

ProcessReport ProcessRun::Run() {
  if (!OpenSource()) return std::move(report_);
  ApplyOptions();
  if (!CheckLimits() || PassOverExisting()) return std::move(report_);
  if (analysis_.HasAudioTracks() && !plan_.audioOption) NoteTracksNotKept();
  if (!FindSoundEncoder() || !CheckExisting() || !MakeWorkFolder() || !CreateOutputs()) {
    return std::move(report_);
  }

  audio_ = std::make_unique<AudioExtraction>(analysis_, mp3_.folder != nullptr ? work_.Path() : "");
  if (plan_.tracksWanted) audio_->BeginTracks();
  ripper_->SetUpCursor(plan_.mode);
  bool ok = WriteBlocks() && EndBlocks();
  if (ok && !stopped_) ok = AppendSections();
  if (ok && !stopped_ && options_.keepLossless) ok = KeepLossless();
  if (ok && !stopped_) LogReplacedWorkFiles();
  if (ok && !stopped_ && options_.verify) ok = VerifyWritten();
  if (ok && !stopped_) ok = Commit();
  if (!ok || stopped_) Discard();
  report_.outcome.stopped = stopped_;
  report_.rippedCount = ripper_->RippedCount();
  if (ok && !stopped_) LogClosingFigures();
  reporter_.Pump();
  return std::move(report_);
}

}  // namespace

ProcessReport ProcessDisc(const DiscAnalysis& analysis, const ProcessOptions& options,
                          Reporter& reporter) {
  return ProcessRun(analysis, options, reporter).Run();
}

}  // namespace quarnel
