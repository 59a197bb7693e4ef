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

#include "common/app_state.h"
#include "common/output_file.h"
#include "common/window.h"
#include "packing/compressed_format.h"

namespace quarnel {

// The 44-byte RIFF header of a WAV file of 16-bit PCM.
constexpr size_t WAV_HEADER_SIZE = 44;
void EncodeWavHeader(uint8_t* out, uint32_t pcmBytes, uint32_t channels, uint32_t sampleRate);

std::string XaWavPath(const std::string& workFolder, uint32_t record);
std::string XaMp3Path(const std::string& workFolder, uint32_t record);
std::string TrackRawPath(const std::string& workFolder, uint32_t track);
std::string TrackMp3Path(const std::string& workFolder, uint32_t track);

class AudioExtraction {
 public:
  AudioExtraction(AppState& state, Window& window, std::string workFolder);
  ~AudioExtraction();

  // Decodes ripped XA sector n into its record's WAV file, clears its payload and returns the
  // block's tag.
  XaTag ExtractXaSector(uint32_t n, uint8_t* sector, bool xaOption);

  // Starts the raw file of the first audio track; the others follow as their sectors come.
  void BeginTracks();
  // Every sector of a block that lies in the current track goes to its raw file.
  void ExtractTrackSectors(uint32_t blockStart, const uint8_t* block, uint32_t sectors);
  void EndTracks();

  // Completes and closes the WAV files of records whose last sector never came (a stop).
  void CloseOpenWavFiles();

  // The first failure, kept with its message ("cannot write FILE: reason") and file; it was
  // logged as an ERROR line.
  bool Failed() const { return !failure_.empty(); }
  const std::string& Failure() const { return failure_; }
  const std::string& FailedFile() const { return failedFile_; }

 private:
  struct WavFile {
    OutputFile file;
    uint32_t record;
  };
  void CompleteWav(XaRecord& record);
  OutputFile* WavOf(const XaRecord& record);
  void ReportFailure(const OutputFile& file, const char* failedTo);
  void Fail(const std::string& file, const std::string& message);
  void DecodeInto(XaRecord& record, const uint8_t* sector, bool stereo);

  AppState& state_;
  Window& window_;
  const std::string workFolder_;
  // Open WAV files; a record's wavFile holds its slot + 1 while its file is open.
  std::vector<std::unique_ptr<WavFile>> wavFiles_;
  uint32_t track_ = 2;
  OutputFile trackFile_;
  bool tracksStarted_ = false;
  std::string failure_;
  std::string failedFile_;
};

}  // namespace quarnel
