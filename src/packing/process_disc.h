// "Process ISO": writes the compressed image of an analysed disc, ripping the marked media on the
// way and, on request, appending the sound of XA records and audio tracks as MP3 sections.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/disc_analysis.h"
#include "common/outcome.h"
#include "common/reporter.h"
#include "packing/compressed_format.h"
#include "packing/compression_mode.h"

namespace quarnel {

// How messages name the options: the window's check boxes, or the command line's flags.
struct OptionNames {
  // How a player keeps the audio tracks a run drops.
  std::string keepAudio = "\"Rip Audio Tracks to MP3\" keeps them";
  // What a player does to go on without the audio tracks when no encoder can keep them.
  std::string dropAudio = "untick \"Rip Audio Tracks to MP3\"";
  // How a player has an existing output replaced or passed over.
  std::string replace = "";
};

// What a run does where its outputs exist: the window replaces them, as it always has; the command
// line asks (its --force answers) or passes over the disc.
enum class ExistingOutputs { Replace, Ask, Skip };

struct ProcessOptions {
  CompressionChoice compression = CompressionChoice::Normal;
  bool xaMp3 = false;           // "Rip Xa Streams to MP3": rips every XA stream, keeps its sound
  bool audioMp3 = false;        // "Rip Audio Tracks to MP3"
  bool smallestSource = false;  // "Smallest Video Source"
  // Holds the sound's work files and is kept; empty: a private folder, removed at the end.
  std::string workFolder = {};
  // Reads the written image back and restores it before it gets its final names; a block that
  // does not give back what was compressed fails the run.
  bool verify = false;
  // The folder the outputs are written to, under the data track file's name; empty: beside it.
  std::string outputDir = {};
  // Keeps every audio track losslessly as FLAC beside the image, with the cue sheet and the list
  // of the dump's files, so that the whole dump can be restored.
  bool keepLossless = false;
  unsigned encoders = 0;  // MP3 encoders that run at once; 0: one per core
  ExistingOutputs existing = ExistingOutputs::Replace;
  OptionNames names = {};
};

struct ProcessReport {
  Outcome outcome;
  // The run was refused before anything was written (a limit, a missing encoder, ...): nothing
  // was changed, the marks included.
  bool refused = false;
  bool skipped = false;    // its outputs exist and were passed over: nothing was done
  std::string failedFile;  // the file a failure concerns, when there is one
  CompressionMode mode = CompressionMode::None;
  std::string dataFile;
  std::string blockTable;
  uint32_t blocks = 0;
  uint32_t rippedCount = 0;
  uint32_t forcedXaMarks = 0;  // XA streams "Rip Xa Streams to MP3" marked on its own
  uint64_t imageSize = 0;
  // Before: every byte of the disc's files; after: everything written for it (see sizes.h). The
  // data track's own: its bytes, and the block area with the side file.
  uint64_t sizeBefore = 0;
  uint64_t sizeAfter = 0;
  uint64_t dataTrackBefore = 0;
  uint64_t dataTrackAfter = 0;
  std::vector<SectionEntryInfo> xaSection;     // empty when no XA stream section was appended
  std::vector<SectionEntryInfo> audioSection;  // likewise for the audio track section
  std::string restoredSha1;  // with `verify`: of the image as read back, before it was committed
  std::vector<std::string> losslessFiles;  // with `keepLossless`: the FLACs, cue sheet and list
  uint64_t losslessBytes = 0;
  // Audio tracks the compressed image does not keep, neither as MP3 nor beside it as FLAC.
  uint32_t audioTracksNotKept = 0;
  uint64_t audioBytesNotKept = 0;
};

ProcessReport ProcessDisc(const DiscAnalysis& analysis, const ProcessOptions& options,
                          Reporter& reporter);

}  // namespace quarnel
