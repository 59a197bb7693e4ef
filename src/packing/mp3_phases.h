// After the block loop of "Process ISO": the external encoder turns the XA records' WAV files and
// the audio tracks' raw files into MP3, one encoder per core, every MP3 is checked, and the results
// are appended to the data file as the XA stream section and the audio track section, in record
// and track order.
#pragma once

#include <string>
#include <vector>

#include "analysis/disc_analysis.h"
#include "common/output_file.h"
#include "common/platform.h"
#include "common/reporter.h"
#include "packing/audio_extraction.h"
#include "packing/compressed_format.h"

namespace quarnel {

// Where the phases find their files and the encoder, and how they ended.
struct Mp3Work {
  WorkFolder* folder = nullptr;  // the run's work folder, locked for it
  std::string encoder;           // the encoder, an absolute path (FindEncoder)
  unsigned parallel = 1;         // encoders that run at once
  // Set with the failure's text when sound could not be converted or added. A phase that fails
  // with this empty and `stopped` false could not write the data file.
  std::string failure;
  std::string failedFile;
  bool stopped = false;  // the stop token ended the encoding; nothing was appended
};

// Each converts its files with the encoder, checks every MP3 (it decodes as MPEG audio and lasts
// as long as the sectors it replaces, within a frame or so), then appends its section to the data
// file and lists the section's entries in `entries`. An XA record whose MP3 was not made is stored
// as its WAV, with a "Warning: " line; an audio track whose MP3 was not made fails the phase.
bool XaRecordPhase(const DiscAnalysis& analysis, const AudioExtraction& sound, Reporter& reporter,
                   OutputFile& data, Mp3Work& work, std::vector<SectionEntryInfo>& entries);
bool AudioTrackPhase(const DiscAnalysis& analysis, Reporter& reporter, OutputFile& data,
                     Mp3Work& work, std::vector<SectionEntryInfo>& entries);

// The encoder's arguments: XA WAV files keep their own sample rate (the header says it), raw CD
// audio is signed 16-bit little-endian stereo at 44.1 kHz; both come out as constant bit rate MP3
// resampled to 16 kHz.
std::vector<std::string> XaEncoderArguments(const std::string& wav, const std::string& mp3);
std::vector<std::string> TrackEncoderArguments(const std::string& raw, const std::string& mp3);

}  // namespace quarnel
