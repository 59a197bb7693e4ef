#include "analysis/analyse_iso.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/cue_sheet.h"
#include "analysis/media_list.h"
#include "analysis/xa_detector.h"
#include "common/image_file.h"
#include "common/report.h"
#include "common/sector.h"
#include "xa/xa_decoder.h"

namespace quarnel {

namespace {

// Sectors 0 to 16 hold the disc's system area and volume descriptors, never media.
constexpr uint32_t LAST_SYSTEM_SECTOR = 16;

// The last sector before track 2 that carries a subheader lies within this many sectors of it.
constexpr uint32_t MAX_DATA_TRACK_GAP = 151;

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

// Reads the cue file beside the image: the image path without its last four characters, plus
// ".cue". Returns false when there is none to read.
bool ReadCueText(AppState& state, Window& window, std::string* text) {
  char cuePath[IMAGE_PATH_SIZE];
  const size_t n = std::strlen(state.ImagePath);
  const size_t stem = n >= 4 ? n - 4 : 0;
  std::memcpy(cuePath, state.ImagePath, stem);
  std::memcpy(cuePath + stem, ".cue", 5);

  std::FILE* f = std::fopen(cuePath, "rb");
  if (f == nullptr) return false;
  struct stat st;
  if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > CUE_SHEET_MAX_SIZE) {
    std::fclose(f);
    LogF(state, window, "Warning: cue sheet %s is larger than 1 MiB and was not read.", cuePath);
    return false;
  }
  text->resize(static_cast<size_t>(st.st_size));
  const size_t got = text->empty() ? 0 : std::fread(text->data(), 1, text->size(), f);
  text->resize(got);
  std::fclose(f);
  return true;
}

class SectorScan {
 public:
  SectorScan(AppState& state, Window& window, ImageFile& image, uint32_t sectorCount)
      : state_(state),
        window_(window),
        image_(image),
        sectorCount_(sectorCount),
        enhancedMovie_(window.IsChecked(IDC_ENHANCED_MOVIE)),
        xa_(state, runningIndex_, window.IsChecked(IDC_ENHANCED_XA)) {}

  void Run(AnalysisResult& result);

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
  void EndOfAnalysis(AnalysisResult& result, uint32_t lastExamined);

  AppState& state_;
  Window& window_;
  ImageFile& image_;
  const uint32_t sectorCount_;
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

void SectorScan::Run(AnalysisResult& result) {
  const uint32_t dataTrackEnd = state_.dataTrackEnd;
  uint64_t sectorsRead = 0;
  uint32_t lastExamined = 0;
  bool stopped = false;

  const uint8_t* sector = image_.NextSector();
  for (uint32_t s = 0; sector != nullptr; ++s) {
    if (sectorCount_ == 0 || s > dataTrackEnd) {
      window_.SetProgress(100);
      window_.PumpMessages();
      break;
    }
    lastExamined = s;
    if (s > LAST_SYSTEM_SECTOR && HeaderAddress(sector) == s && !Examine(s, sector)) break;

    sectorsRead += 1;
    window_.SetProgress(static_cast<unsigned>(sectorsRead * 100 / sectorCount_));
    window_.PumpMessages();
    if (state_.StopRequested) {
      stopped = true;
      break;
    }
    if (s == UINT32_MAX) break;
    sector = image_.NextSector();
  }
  result.stopped = stopped;
  if (image_.ReadFailed()) {
    result.readError = true;
    result.readErrno = image_.ReadErrno();
  }
  EndOfAnalysis(result, lastExamined);
}

bool SectorScan::Examine(uint32_t s, const uint8_t* sector) {
  if (state_.Ff8SearchMethod) {
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
  if (s - state_.MediaTable[runningIndex_].firstSector == 1) {
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
  MediaRecord& record = state_.MediaTable[runningIndex_];
  record.kind = MEDIA_VIDEO;
  record.firstSector = s;
  video_ = VideoState::Open;
  interleavePosition_ = 1;
  interleavePeriod_ = 0;
  secondFrameSeen_ = false;
  lastFrame_ = 1;
}

void SectorScan::CloseVideo(uint32_t x) {
  state_.MediaTable[runningIndex_].lastSector = x;
  runningIndex_ += 1;
  video_ = VideoState::Closed;
  videoCount_ += 1;
  if (runningIndex_ >= MEDIA_TABLE_SIZE) tableFull_ = true;
}

void SectorScan::CancelVideo() {
  MediaRecord& record = state_.MediaTable[runningIndex_];
  record.kind = MEDIA_NONE;
  record.firstSector = 0;
  video_ = VideoState::Closed;
}

void SectorScan::EndOfAnalysis(AnalysisResult& result, uint32_t lastExamined) {
  if (!result.stopped) window_.SetControlText(IDC_PATH, state_.ImagePath);
  image_.Close();

  if (!tableFull_ && runningIndex_ < MEDIA_TABLE_SIZE) {
    if (video_ != VideoState::Closed) {
      // A movie still running when the scan ends is kept up to where the scan got.
      MediaRecord& record = state_.MediaTable[runningIndex_];
      if (record.firstSector != 0 && record.lastSector == 0) {
        uint32_t last = result.stopped && lastExamined > 0 ? lastExamined - 1 : lastExamined;
        if (last < record.firstSector) last = record.firstSector;
        record.lastSector = last;
        video_ = VideoState::Closed;
      }
    } else if (xa_.StreamOpen()) {
      // Closed like a data sector would close it, so that processing can rip it.
      xa_.CloseAtScanEnd(lastExamined);
    }
  }

  window_.EnableControl(IDC_ANALYSE, true);
  window_.EnableControl(IDC_PROCESS, true);
  window_.EnableControl(IDC_UNCOMPRESS, true);
  LogF(state_, window_, "%d Video found and %d XA Records found within XA streams", videoCount_,
       state_.XaRecordTotal);
  state_.FirstVisibleRow = 0;
  RenderMediaPage(state_, window_);
  if (video_ != VideoState::Closed) {
    LogF(state_, window_,
         "ERROR DETECTED: Try to select 'Enhanced Movie Detection' and push analyse.");
  }
  if (tableFull_) LogF(state_, window_, "ERROR: TOO much Media Found, try Enhanced options.");
  if (state_.XaRecordTotal >= XA_RECORD_TABLE_SIZE) {
    LogF(state_, window_, "ERROR: TOO much XA records Found, try Enhanced options.");
  }
  result.tableFull = tableFull_;
  result.videoCount = videoCount_;
}

// The data track ends at the last sector before track 2 that carries a subheader (both submode
// bytes set), when there is one within reach; otherwise where the cue sheet ends track 1.
void FindDataTrackEnd(AppState& state, ImageFile& image) {
  AudioTrackTable& tracks = state.AudioTracks;
  const uint32_t trackTwo = tracks.track[2].firstSector;
  uint32_t end = tracks.track[1].lastSector;
  uint8_t sector[SECTOR_SIZE];
  for (uint32_t k = trackTwo - 1; trackTwo - k < MAX_DATA_TRACK_GAP; --k) {
    if (!image.ReadSectorAt(k, sector)) break;
    if (sector[SUBMODE_OFFSET] != 0 && sector[SUBMODE_COPY_OFFSET] != 0) {
      end = k;
      break;
    }
    if (k == 0) break;
  }
  state.dataTrackEnd = end;
  tracks.track[1].lastSector = end;
}

}  // namespace

AnalysisResult AnalyseIso(AppState& state, Window& window) {
  AnalysisResult result;
  std::memset(state.MediaTable, 0, sizeof state.MediaTable);
  state.AudioTracks.audioTrackCount = 0;
  InitXaDecoder(state.Xa);
  ReadControlText(window, IDC_PATH, state.ImagePath, sizeof state.ImagePath);

  ImageFile image;
  if (!image.Open(state.ImagePath)) {
    result.openError = image.OpenError();
    return result;
  }
  result.opened = true;

  window.SetControlText(IDC_MEDIA_LIST, "");
  window.SetControlText(IDC_INFO_LOG, "");
  for (int r = 0; r < MEDIA_PAGE_ROWS; ++r) window.SetChecked(IDC_RIP_FIRST + r, false);
  LogF(state, window, "- File Loaded.");

  const uint64_t sectors64 = image.Size() / SECTOR_SIZE;
  const uint32_t sectorCount = sectors64 > UINT32_MAX ? UINT32_MAX : uint32_t(sectors64);
  result.sectorCount = sectorCount;
  state.dataTrackEnd = sectorCount - 1;
  LogF(state, window, "- %d sectors found", sectorCount);

  std::string cue;
  if (ReadCueText(state, window, &cue)) {
    ParseCueSheet(cue, sectorCount, state.AudioTracks, [&](uint32_t track, uint32_t first) {
      LogF(state, window, "- Audio track %02d found at sector %d", track, first);
    });
    if (state.AudioTracks.audioTrackCount != 0) {
      FindDataTrackEnd(state, image);
      window.SetChecked(IDC_RIP_AUDIO_MP3, true);
    }
  }
  image.Rewind();

  // The scan.
  window.PumpMessages();
  state.Ff8SearchMethod = window.IsChecked(IDC_FF8) ? 1 : 0;
  window.EnableControl(IDC_ANALYSE, false);
  window.EnableControl(IDC_PROCESS, false);
  window.EnableControl(IDC_UNCOMPRESS, false);
  SectorScan scan(state, window, image, sectorCount);
  state.StopRequested = 0;
  state.XaRecordTotal = 0;
  std::fill(std::begin(state.SectorRecordMap), std::end(state.SectorRecordMap), NO_XA_RECORD);
  std::memset(state.XaRecordTable, 0, sizeof state.XaRecordTable);
  scan.Run(result);
  return result;
}

}  // namespace quarnel
