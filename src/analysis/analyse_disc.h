// "Analyse ISO": opens the image (or the cue sheet and its track files), counts its sectors, takes
// the audio tracks from the cue sheet, finds the end of the data track and scans it for video and
// XA streams.
#pragma once

#include <memory>
#include <string>

#include "analysis/disc_analysis.h"
#include "common/reporter.h"

namespace quarnel {

struct AnalysisOptions {
  std::string ImagePath = {};  // an image, a track file or a cue sheet
  bool ff8 = false;            // "FF8 Search method"
  bool enhancedMovie = false;
  bool enhancedXa = false;
};

struct AnalysisResult {
  // The findings; null when the image could not be opened or was refused (nothing was changed).
  std::unique_ptr<DiscAnalysis> analysis;
  int openError = 0;     // errno of a failed open; nothing was logged
  bool refused = false;  // not a disc this program can analyse; `message` says why (logged)
  std::string message;
  bool readError = false;  // a read failed before the end of the data track
  int readErrno = 0;
  bool stopped = false;  // the stop token ended the scan
  bool tableFull = false;

  bool Opened() const { return analysis != nullptr; }
  // Scanned to the end of the data track.
  bool Complete() const { return Opened() && !readError && !stopped; }
};

AnalysisResult AnalyseDisc(const AnalysisOptions& options, Reporter& reporter);

}  // namespace quarnel
