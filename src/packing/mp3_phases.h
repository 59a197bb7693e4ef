// After the block loop of "Process ISO": the external encoder turns the XA records' WAV files and
// the audio tracks' raw files into MP3, and the results are appended to the data file as the XA
// stream section and the audio track section.
#pragma once

#include <string>
#include <vector>

#include "analysis/disc_analysis.h"
#include "common/output_file.h"
#include "common/reporter.h"
#include "packing/compressed_format.h"

namespace quarnel {

// Where the phases find their files and the encoder, and why they failed.
struct Mp3Work {
  std::string folder;   // the work folder, an absolute path
  std::string encoder;  // the encoder, an absolute path (FindEncoder)
  // Set with the ERROR line's text when sound could not be converted or added: the encoder
  // failed or left no MP3, or an MP3 could not be read back. A phase that fails with this empty
  // could not write the data file.
  std::string failure;
  std::string failedFile;
};

// Each converts its files with the encoder, then appends its section to the data file and lists
// the section's entries in `entries`. Returns false on any failure, with an ERROR line.
bool XaRecordPhase(const DiscAnalysis& analysis, Reporter& reporter, OutputFile& data,
                   Mp3Work& work, std::vector<SectionEntryInfo>& entries);
bool AudioTrackPhase(const DiscAnalysis& analysis, Reporter& reporter, OutputFile& data,
                     Mp3Work& work, std::vector<SectionEntryInfo>& entries);

// The encoder's arguments: XA WAV files keep their own sample rate (the header says it), raw CD
// audio is signed 16-bit little-endian stereo at 44.1 kHz; both come out as constant bit rate MP3
// resampled to 16 kHz.
std::vector<std::string> XaEncoderArguments(const std::string& wav, const std::string& mp3);
std::vector<std::string> TrackEncoderArguments(const std::string& raw, const std::string& mp3);

}  // namespace quarnel
