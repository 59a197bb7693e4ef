// The scan of "Analyse ISO": every sector of the data track in order; videos are found by their
// own rules and every other sector goes to the XA stream detector. The findings go into the
// analysis' media table, XA records and sector-to-record map.
#pragma once

#include <cstdint>

#include "analysis/disc_analysis.h"
#include "analysis/xa_detector.h"
#include "common/image_file.h"
#include "common/reporter.h"

namespace quarnel {

struct ScanResult {
  bool stopped = false;        // the stop token ended the scan
  bool tableFull = false;      // the media table filled up
  bool videoLeftOpen = false;  // a movie still open at the end could not be kept
  uint32_t videoCount = 0;
};

class SectorScan {
 public:
  // The scan reads `image` from its forward stream's start; `analysis` has empty tables and its
  // dataTrackEnd and Ff8SearchMethod set.
  SectorScan(DiscAnalysis& analysis, ImageFile& image, bool enhancedMovie, bool enhancedXa)
      : analysis_(analysis),
        image_(image),
        enhancedMovie_(enhancedMovie),
        xa_(analysis, runningIndex_, enhancedXa) {}

  ScanResult Run(Reporter& reporter);

 private:
  enum class VideoState { Closed, Open, Ending };
  enum class Outcome { Done, HandOver, ExamineAgain };

  // Examines sector s; false when the media table filled up.
  bool Examine(uint32_t s, const uint8_t* sector);
  Outcome PlainRules(uint32_t s, const uint8_t* sector);
  Outcome EnhancedRules(uint32_t s, const uint8_t* sector);
  void Ff8Rules(uint32_t s, const uint8_t* sector);
  void OpenVideo(uint32_t s);
  void CloseVideo(uint32_t x);
  void CancelVideo();
  void CloseAtScanEnd(bool stopped, uint32_t lastExamined);

  DiscAnalysis& analysis_;
  ImageFile& image_;
  const bool enhancedMovie_;

  uint32_t runningIndex_ = 0;
  XaStreamDetector xa_;
  bool tableFull_ = false;

  VideoState video_ = VideoState::Closed;
  uint32_t videoCount_ = 0;
  uint32_t interleavePosition_ = 0;
  uint32_t interleavePeriod_ = 0;
  uint16_t lastFrame_ = 0;
  bool secondFrameSeen_ = false;
  uint16_t ff8LastValue_ = 0;
};

}  // namespace quarnel
