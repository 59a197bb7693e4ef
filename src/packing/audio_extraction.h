// Takes the sound out of the image while "Process ISO" reads it: the sectors of ripped XA streams
// are decoded into one WAV file per XA record, and the CD-DA sectors behind the data track are
// copied into one raw file per audio track. All files lie in the work folder. A file that cannot be
// made or written fails the extraction: its sound is cleared from the blocks all the same, so the
// run must not keep them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/disc_analysis.h"
#include "common/output_file.h"
#include "packing/compressed_format.h"
#include "xa/xa_decoder.h"

namespace quarnel {

// The 44-byte RIFF header of a WAV file of 16-bit PCM.
constexpr size_t WAV_HEADER_SIZE = 44;
void EncodeWavHeader(uint8_t* out, uint32_t pcmBytes, uint32_t channels, uint32_t sampleRate);

// The work files' names in the work folder, and the paths of those this extraction writes.
std::string XaWavName(uint32_t record);
std::string XaMp3Name(uint32_t record);
std::string TrackRawName(uint32_t track);
std::string TrackMp3Name(uint32_t track);
std::string XaWavPath(const std::string& workFolder, uint32_t record);
std::string TrackRawPath(const std::string& workFolder, uint32_t track);

class AudioExtraction {
 public:
  AudioExtraction(const DiscAnalysis& analysis, std::string workFolder);
  ~AudioExtraction();

  // Decodes ripped XA sector n into its record's WAV file, clears its payload and returns the
  // block's tag.
  XaTag ExtractXaSector(uint32_t n, uint8_t* sector, bool xaOption);

  // What a record's WAV holds once complete: 0 channels when none was made.
  struct RecordSound {
    uint32_t pcmBytes = 0;
    uint32_t channels = 0;
    uint32_t sampleRate = 0;
  };
  const RecordSound& Sound(uint32_t record) const { return records_[record].sound; }

  // Starts the raw file of the first audio track; the others follow as their sectors come.
  void BeginTracks();
  // Every sector of a block that lies in the current track goes to its raw file.
  void ExtractTrackSectors(uint32_t blockStart, const uint8_t* block, uint32_t sectors);
  void EndTracks();

  // Completes and closes the WAV files of records whose last sector never came (a stop).
  void CloseOpenWavFiles();

  // The first failure, kept with its message ("cannot write FILE: reason") and file; the run's
  // outcome reports it.
  bool Failed() const { return !failure_.empty(); }
  const std::string& Failure() const { return failure_; }
  const std::string& FailedFile() const { return failedFile_; }
  // The work files that replaced files of the same name (an earlier run's, in a kept folder).
  const std::vector<std::string>& ReplacedFiles() const { return replaced_; }

 private:
  // A record's state while its sectors are decoded: its open WAV file, and the decoder's history,
  // so that interleaved records each go on from their own.
  struct RecordState {
    std::unique_ptr<OutputFile> wav;
    int32_t history[4] = {};
    RecordSound sound;
  };
  void StartRecord(uint32_t x, const uint8_t* sector);
  void CreateTrackFile();
  void CompleteWav(RecordState& record);
  void ReportFailure(const OutputFile& file, const char* failedTo);
  void Fail(const std::string& file, const std::string& message);
  void DecodeInto(RecordState& record, const uint8_t* sector);

  const DiscAnalysis& analysis_;
  const std::string workFolder_;
  std::vector<RecordState> records_;  // one per XA record the table can hold
  XaDecoder decoder_;
  int16_t PcmSectorBuffer[XA_SAMPLES_PER_SECTOR];  // one decoded XA sector
  uint32_t track_ = 2;
  OutputFile trackFile_;
  bool tracksStarted_ = false;
  std::string failure_;
  std::string failedFile_;
  std::vector<std::string> replaced_;
};

}  // namespace quarnel
