#include "analysis/sector_scan.h"

#include "common/sector.h"

namespace quarnel {

namespace {

constexpr uint8_t MIN_VIDEO_SECTORS_BEFORE_AUDIO = 7;

bool IsVideoSector(uint8_t submode) {
  return (submode & (SUBMODE_REAL_TIME | SUBMODE_VIDEO)) == (SUBMODE_REAL_TIME | SUBMODE_VIDEO) ||
         (submode & (SUBMODE_REAL_TIME | SUBMODE_DATA)) == (SUBMODE_REAL_TIME | SUBMODE_DATA);
}

bool IsRealTimeAudio(uint8_t submode) {
  return (submode & (SUBMODE_REAL_TIME | SUBMODE_AUDIO)) == (SUBMODE_REAL_TIME | SUBMODE_AUDIO);
}

bool IsRealTimeData(uint8_t submode) {
  return (submode & (SUBMODE_REAL_TIME | SUBMODE_DATA)) == (SUBMODE_REAL_TIME | SUBMODE_DATA);
}

uint16_t FrameNumber(const uint8_t* sector) {
  const uint8_t* u = UserData(sector);
  return static_cast<uint16_t>(u[STR_FRAME_NUMBER_OFFSET] | (u[STR_FRAME_NUMBER_OFFSET + 1] << 8));
}

bool IsFf8Sector(const uint8_t* sector) {
  const uint8_t* u = UserData(sector);
  return u[0] == 'S' && u[1] == 'M';
}

}  // namespace

ScanResult SectorScan::Run(Reporter& reporter) {
  const uint32_t dataTrackEnd = analysis_.dataTrackEnd;
  const uint32_t sectorCount = analysis_.sectorCount;
  LongOperation operation(reporter);
  ScanResult result;
  uint32_t lastExamined = 0;

  const uint8_t* sector = image_.NextSector();
  for (uint32_t s = 0; sector != nullptr; ++s) {
    if (sectorCount == 0 || s > dataTrackEnd) {
      reporter.Progress(100);
      reporter.Pump();
      break;
    }
    lastExamined = s;
    if (s > LAST_SYSTEM_SECTOR && HeaderAddress(sector) == s && !Examine(s, sector)) break;
    if (operation.Step(uint64_t{s} + 1, sectorCount)) {
      result.stopped = true;
      break;
    }
    if (s == UINT32_MAX) break;
    sector = image_.NextSector();
  }
  CloseAtScanEnd(result.stopped, lastExamined);
  result.tableFull = tableFull_;
  result.videoLeftOpen = video_ != VideoState::Closed;
  result.videoCount = videoCount_;
  return result;
}

bool SectorScan::Examine(uint32_t s, const uint8_t* sector) {
  if (analysis_.Ff8SearchMethod) {
    Ff8Rules(s, sector);
    return !tableFull_;
  }
  for (;;) {
    if (!xa_.StreamOpen()) {
      if (video_ != VideoState::Closed) {
        const Outcome outcome = enhancedMovie_ ? EnhancedRules(s, sector) : PlainRules(s, sector);
        if (tableFull_) return false;
        if (outcome == Outcome::Done) return true;
        if (outcome == Outcome::ExamineAgain) continue;
        // HandOver: the video detector is closed; the XA detector takes the sector.
      } else {
        const uint8_t* u = UserData(sector);
        if (u[0] == STR_MAGIC_0 && u[1] == STR_MAGIC_1 && FrameNumber(sector) == 1 &&
            IsVideoSector(Submode(sector))) {
          OpenVideo(s);
          return true;
        }
      }
    }
    switch (xa_.Examine(s, sector)) {
      case XaStreamDetector::Outcome::Done:
        return true;
      case XaStreamDetector::Outcome::ExamineAgain:
        continue;
      case XaStreamDetector::Outcome::TableFull:
        tableFull_ = true;
        return false;
    }
  }
}

SectorScan::Outcome SectorScan::PlainRules(uint32_t s, const uint8_t* sector) {
  const uint8_t submode = Submode(sector);
  uint32_t& n = interleavePosition_;
  const uint32_t p = interleavePeriod_;

  if (p == 0) {
    if (IsVideoSector(submode)) {
      n += 1;
      return Outcome::Done;
    }
    if (IsRealTimeAudio(submode)) {
      const bool cancelled = n < MIN_VIDEO_SECTORS_BEFORE_AUDIO;
      if (cancelled) CancelVideo();
      interleavePeriod_ = n + 1;
      n = 1;
      return cancelled ? Outcome::HandOver : Outcome::Done;
    }
    CancelVideo();
    return Outcome::HandOver;
  }

  if (IsVideoSector(submode)) {
    n += 1;
    if (n > p) n = 1;
    if (IsRealTimeData(submode)) {
      if (submode & SUBMODE_EOF) {
        CloseVideo(s);
      } else if (FrameNumber(sector) == 2) {
        secondFrameSeen_ = true;
      } else if (FrameNumber(sector) == 1 && secondFrameSeen_) {
        // Frame 1 again after frame 2: the next movie starts right here.
        CloseVideo(s - 1);
        if (!tableFull_) OpenVideo(s);
      }
    } else if (submode & SUBMODE_EOF) {
      CloseVideo(s);
    }
    return Outcome::Done;
  }
  if (submode & SUBMODE_EOF) {
    CloseVideo(s);
    return Outcome::Done;
  }
  if (IsRealTimeAudio(submode)) {
    if (video_ == VideoState::Ending) CloseVideo(s);
    return Outcome::Done;
  }
  n += 1;
  if (n > p) n = 1;
  if (n == p) {
    video_ = VideoState::Ending;
  } else {
    CloseVideo(s);
  }
  return Outcome::Done;
}

SectorScan::Outcome SectorScan::EnhancedRules(uint32_t s, const uint8_t* sector) {
  const uint8_t submode = Submode(sector);
  uint32_t& n = interleavePosition_;

  if (interleavePeriod_ == 0) {
    if (IsVideoSector(submode)) {
      n += 1;
      lastFrame_ = FrameNumber(sector);
      return Outcome::Done;
    }
    if (IsRealTimeAudio(submode)) {
      interleavePeriod_ = n + 1;
      n = 1;
      return Outcome::Done;
    }
    CancelVideo();
    return Outcome::HandOver;
  }

  n += 1;
  if (n > interleavePeriod_) n = 1;
  if (IsVideoSector(submode)) {
    const int frame = FrameNumber(sector);
    const int step = frame - static_cast<int>(lastFrame_);
    if (step >= -1 && step <= 1) {
      lastFrame_ = static_cast<uint16_t>(frame);
      return Outcome::Done;
    }
    CloseVideo(s - 1);
    return Outcome::ExamineAgain;
  }
  if (n == 1 || IsRealTimeAudio(submode)) return Outcome::Done;
  if (s - analysis_.MediaTable[runningIndex_].firstSector == 1) {
    CancelVideo();
    return Outcome::HandOver;
  }
  CloseVideo(s - 1);
  return Outcome::ExamineAgain;
}

void SectorScan::Ff8Rules(uint32_t s, const uint8_t* sector) {
  const uint8_t* u = UserData(sector);
  const bool ff8 = IsFf8Sector(sector);
  if (video_ == VideoState::Closed) {
    if (ff8 && u[3] == 1) {
      OpenVideo(s);
      ff8LastValue_ = 0;
    }
    return;
  }
  const uint16_t v = static_cast<uint16_t>(u[6] | (u[7] << 8));
  if (ff8 && (u[2] == 'J' || u[2] == 'N' || u[2] == 'R') && v >= ff8LastValue_) {
    ff8LastValue_ = v;
    return;
  }
  CloseVideo(s - 1);
  if (!tableFull_ && ff8 && u[3] == 1) {
    OpenVideo(s);
    ff8LastValue_ = 0;
  }
}

void SectorScan::OpenVideo(uint32_t s) {
  MediaRecord& record = analysis_.MediaTable[runningIndex_];
  record.kind = MEDIA_VIDEO;
  record.firstSector = s;
  video_ = VideoState::Open;
  interleavePosition_ = 1;
  interleavePeriod_ = 0;
  secondFrameSeen_ = false;
  lastFrame_ = 1;
}

void SectorScan::CloseVideo(uint32_t x) {
  analysis_.MediaTable[runningIndex_].lastSector = x;
  runningIndex_ += 1;
  video_ = VideoState::Closed;
  videoCount_ += 1;
  if (runningIndex_ >= MEDIA_TABLE_SIZE) tableFull_ = true;
}

void SectorScan::CancelVideo() {
  MediaRecord& record = analysis_.MediaTable[runningIndex_];
  record.kind = MEDIA_NONE;
  record.firstSector = 0;
  video_ = VideoState::Closed;
}

void SectorScan::CloseAtScanEnd(bool stopped, uint32_t lastExamined) {
  if (tableFull_ || runningIndex_ >= MEDIA_TABLE_SIZE) return;
  if (video_ != VideoState::Closed) {
    // A movie still running when the scan ends is kept up to where the scan got.
    MediaRecord& record = analysis_.MediaTable[runningIndex_];
    if (record.firstSector != 0 && record.lastSector == 0) {
      uint32_t last = stopped && lastExamined > 0 ? lastExamined - 1 : lastExamined;
      if (last < record.firstSector) last = record.firstSector;
      record.lastSector = last;
      video_ = VideoState::Closed;
    }
  } else if (xa_.StreamOpen()) {
    // Closed like a data sector would close it, so that processing can rip it.
    xa_.CloseAtScanEnd(lastExamined);
  }
}

}  // namespace quarnel
