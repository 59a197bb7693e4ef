// Groups consecutive XA audio sectors into XA streams, learns each stream's channel cycle and cuts
// every channel's run of sound into an XA record, mapping the run's sectors to it.
#pragma once

#include <cstdint>

#include "analysis/disc_analysis.h"

namespace quarnel {

class XaStreamDetector {
 public:
  enum class Outcome { Done, ExamineAgain, TableFull };

  XaStreamDetector(DiscAnalysis& analysis, uint32_t& runningIndex, bool enhanced)
      : analysis_(analysis), runningIndex_(runningIndex), enhanced_(enhanced) {}

  bool StreamOpen() const { return open_; }

  // Examines sector s (2352 bytes). ExamineAgain: the stream was closed or dropped on s and the
  // scan must look at s afresh; TableFull: closing the stream filled the media table.
  Outcome Examine(uint32_t s, const uint8_t* sector);

  // Closes an open stream at sector x as the end of the scan does: every open run ends at the last
  // sector mapped to its record. Returns TableFull when that filled the media table.
  Outcome CloseAtScanEnd(uint32_t x);

 private:
  struct ChannelSlot {
    uint32_t start;  // 0: no open run
    uint32_t end;
    uint32_t record;
    int32_t active;
  };

  void OpenStream(uint32_t s, uint8_t c);
  Outcome AudioRule(uint32_t s, uint8_t c, const uint8_t* sector);
  Outcome NonAudioRule(uint32_t s, uint8_t c, uint8_t submode);
  void StartRun(uint8_t c, uint32_t x);
  void CloseRun(uint8_t c, uint32_t x, uint8_t channelValue);
  void EndRunAtLastMapped(uint8_t c, uint32_t from);
  void Map(uint32_t sector, uint32_t record);
  bool AnyRunOpenInRotation() const;
  Outcome CloseStream(uint32_t x);
  void AdvancePosition();

  DiscAnalysis& analysis_;
  uint32_t& runningIndex_;
  const bool enhanced_;

  bool open_ = false;
  uint32_t streamStart_ = 0;
  uint8_t firstChannel_ = 0;
  uint8_t ChannelRotation[256] = {};
  uint32_t rotationPosition_ = 0;
  uint32_t rotationLast_ = 0;  // cycle length - 1; 0 while not learned
  ChannelSlot ChannelSlots[256] = {};
};

}  // namespace quarnel
