#include "analysis/xa_detector.h"

#include <cstring>

#include "common/sector.h"

namespace quarnel {

namespace {

constexpr uint8_t XA_AUDIO_MASK =
    SUBMODE_EOF | SUBMODE_FORM2 | SUBMODE_DATA | SUBMODE_AUDIO | SUBMODE_VIDEO;  // 0xAE
constexpr uint8_t XA_AUDIO_BITS = SUBMODE_FORM2 | SUBMODE_AUDIO;                 // 0x24

// A cycle that has not shown itself within this many sectors is never learned.
constexpr uint32_t MAX_CYCLE = 256;

bool IsXaAudio(uint8_t submode) {
  return (submode & XA_AUDIO_MASK) == XA_AUDIO_BITS;
}

bool IsPlainData(uint8_t submode) {
  return (submode & (SUBMODE_DATA | SUBMODE_REAL_TIME)) == SUBMODE_DATA;
}

bool IsSilentSoundGroup(const uint8_t* sector, size_t k) {
  const uint8_t* g = sector + USER_DATA_OFFSET + SOUND_GROUP_SIZE * k;
  for (size_t i = 0; i < SOUND_PARAMETER_BYTES; ++i) {
    if (g[i] != SILENT_SOUND_PARAMETER) return false;
  }
  for (size_t i = SOUND_WORDS_OFFSET; i < SOUND_GROUP_SIZE; ++i) {
    if (g[i] != 0) return false;
  }
  return true;
}

}  // namespace

XaStreamDetector::Outcome XaStreamDetector::Examine(uint32_t s, const uint8_t* sector) {
  const uint8_t submode = sector[SUBMODE_OFFSET];
  const uint8_t c = sector[CHANNEL_OFFSET];

  if (open_ && rotationLast_ == 0 && s - streamStart_ >= MAX_CYCLE) {
    // The first channel never came back: close what there is and look at s afresh.
    const Outcome closed = CloseAtScanEnd(s - 1);
    return closed == Outcome::TableFull ? closed : Outcome::ExamineAgain;
  }

  if (IsXaAudio(submode)) {
    if (!open_) {
      OpenStream(s, c);
      return Outcome::Done;
    }
    return AudioRule(s, c, sector);
  }
  if (!open_) return Outcome::Done;
  return NonAudioRule(s, c, submode);
}

void XaStreamDetector::OpenStream(uint32_t s, uint8_t c) {
  MediaRecord& record = analysis_.MediaTable[runningIndex_];
  record.kind = MEDIA_XA;
  record.firstSector = s;
  record.xaRecordCount = analysis_.XaRecordTotal;
  std::memset(ChannelSlots, 0, sizeof ChannelSlots);
  std::memset(ChannelRotation, 0, sizeof ChannelRotation);
  firstChannel_ = c;
  ChannelRotation[0] = c;
  rotationPosition_ = 0;
  rotationLast_ = 0;
  streamStart_ = s;
  StartRun(c, s);
  Map(s, ChannelSlots[c].record);
  open_ = true;
}

XaStreamDetector::Outcome XaStreamDetector::AudioRule(uint32_t s, uint8_t c,
                                                      const uint8_t* sector) {
  rotationPosition_ += 1;
  if (rotationLast_ == 0) {
    ChannelRotation[rotationPosition_] = c;
  } else {
    if (rotationPosition_ > rotationLast_) rotationPosition_ = 0;
    const uint8_t e = ChannelRotation[rotationPosition_];
    if (e != c) {
      // The channel expected here was displaced: its run ended one cycle back.
      if (ChannelSlots[e].active) CloseRun(e, s - (rotationLast_ + 1), e);
      ChannelRotation[rotationPosition_] = c;
      if (!ChannelSlots[c].active) {
        StartRun(c, s);
        Map(s, ChannelSlots[c].record);
      }
    }
  }

  ChannelSlot& slot = ChannelSlots[c];
  if (slot.start == 0 && !IsSilentSoundGroup(sector, 0) &&
      !IsSilentSoundGroup(sector, SOUND_GROUPS_PER_SECTOR - 1)) {
    ChannelRotation[rotationPosition_] = c;
    StartRun(c, s);
  }

  if (enhanced_ && rotationLast_ != 0 && IsSilentSoundGroup(sector, 16) &&
      IsSilentSoundGroup(sector, 17) && slot.start != 0 && s - slot.start > rotationLast_ + 1) {
    CloseRun(c, s, ChannelRotation[rotationPosition_]);
    Map(s, slot.record);
  }

  if (rotationLast_ == 0 && c == firstChannel_) {
    // The first channel is back: the cycle is the distance from the stream's start.
    rotationLast_ = (s - streamStart_) - 1;
    rotationPosition_ = 0;
  }

  if (slot.start != 0 && slot.end == 0) Map(s, slot.record);
  return Outcome::Done;
}

XaStreamDetector::Outcome XaStreamDetector::NonAudioRule(uint32_t s, uint8_t c, uint8_t submode) {
  const bool eof = (submode & SUBMODE_EOF) != 0;
  if (rotationLast_ != 0) {
    AdvancePosition();
    if (eof) {
      if (ChannelSlots[c].start != 0) {
        CloseRun(c, s, ChannelRotation[rotationPosition_]);
        Map(s, ChannelSlots[c].record);
      }
      if (!AnyRunOpenInRotation()) return CloseStream(s);
      return Outcome::Done;
    }
    if (IsPlainData(submode)) {
      for (uint32_t p = 0; p <= rotationLast_; ++p) {
        const uint8_t ch = ChannelRotation[p];
        const ChannelSlot& slot = ChannelSlots[ch];
        if (slot.active && slot.end == 0) EndRunAtLastMapped(ch, s - 1);
      }
      const Outcome closed = CloseStream(s - 1);
      return closed == Outcome::TableFull ? closed : Outcome::ExamineAgain;
    }
    return Outcome::Done;  // a video sector inside the stream, say
  }

  if (eof && c == firstChannel_) {
    rotationLast_ = (s - streamStart_) - 1;
    rotationPosition_ = 0;
    if (ChannelSlots[c].start != 0) {
      CloseRun(c, s, ChannelRotation[0]);
      Map(s, ChannelSlots[c].record);
    }
    if (!AnyRunOpenInRotation()) return CloseStream(s);
    return Outcome::Done;
  }
  if (eof) {
    rotationPosition_ += 1;
    ChannelRotation[rotationPosition_] = c;
    return Outcome::Done;
  }
  if (s - 1 == streamStart_) {
    // A lone XA sector is no stream: forget it (its map entry stays).
    analysis_.XaRecordTotal -= 1;
    MediaRecord& record = analysis_.MediaTable[runningIndex_];
    record.kind = MEDIA_NONE;
    record.firstSector = 0;
    open_ = false;
    return Outcome::ExamineAgain;
  }
  rotationPosition_ += 1;
  ChannelRotation[rotationPosition_] = static_cast<uint8_t>(rotationPosition_);
  return Outcome::Done;
}

XaStreamDetector::Outcome XaStreamDetector::CloseAtScanEnd(uint32_t x) {
  if (!open_) return Outcome::Done;
  // Every channel, not only those the rotation holds: an unlearned cycle lists none of them.
  for (uint32_t ch = 0; ch < 256; ++ch) {
    const ChannelSlot& slot = ChannelSlots[ch];
    if (slot.active && slot.start != 0 && slot.end == 0) {
      EndRunAtLastMapped(static_cast<uint8_t>(ch), x);
    }
  }
  return CloseStream(x);
}

void XaStreamDetector::StartRun(uint8_t c, uint32_t x) {
  ChannelSlot& slot = ChannelSlots[c];
  slot.active = 1;
  slot.start = x;
  slot.record = analysis_.XaRecordTotal;
  analysis_.XaRecordTotal += 1;
}

void XaStreamDetector::CloseRun(uint8_t c, uint32_t x, uint8_t channelValue) {
  ChannelSlot& slot = ChannelSlots[c];
  if (x < slot.start) x = slot.start;  // a record never ends before it begins
  slot.end = x;
  if (slot.record < XA_RECORD_TABLE_SIZE) {
    XaRecord& record = analysis_.XaRecordTable[slot.record];
    record.firstSector = slot.start;
    record.lastSector = x;
    record.channel = channelValue;
  }
  slot.start = 0;
  slot.end = 0;
  slot.active = 0;
}

// Ends channel c's run at the last sector at or below `from` that is mapped to its record (never
// below the run's start) and stores the record; the slot keeps its end until the stream closes.
void XaStreamDetector::EndRunAtLastMapped(uint8_t c, uint32_t from) {
  ChannelSlot& slot = ChannelSlots[c];
  uint32_t end = slot.start;
  if (slot.record < XA_RECORD_TABLE_SIZE) {
    for (uint32_t x = from; x > slot.start; --x) {
      if (x < SECTOR_RECORD_MAP_SIZE && analysis_.SectorRecordMap[x] == slot.record) {
        end = x;
        break;
      }
    }
    XaRecord& record = analysis_.XaRecordTable[slot.record];
    record.firstSector = slot.start;
    record.lastSector = end;
    record.channel = c;
  }
  slot.end = end;
}

void XaStreamDetector::Map(uint32_t sector, uint32_t record) {
  if (sector < SECTOR_RECORD_MAP_SIZE && record < XA_RECORD_TABLE_SIZE) {
    analysis_.SectorRecordMap[sector] = static_cast<uint16_t>(record);
  }
}

bool XaStreamDetector::AnyRunOpenInRotation() const {
  for (uint32_t p = 0; p <= rotationLast_; ++p) {
    const ChannelSlot& slot = ChannelSlots[ChannelRotation[p]];
    if (slot.active && slot.start != 0) return true;
  }
  return false;
}

XaStreamDetector::Outcome XaStreamDetector::CloseStream(uint32_t x) {
  MediaRecord& record = analysis_.MediaTable[runningIndex_];
  record.lastSector = x;
  record.xaRecordCount = analysis_.XaRecordTotal - record.xaRecordCount;
  open_ = false;
  runningIndex_ += 1;
  return runningIndex_ >= MEDIA_TABLE_SIZE ? Outcome::TableFull : Outcome::Done;
}

void XaStreamDetector::AdvancePosition() {
  rotationPosition_ += 1;
  if (rotationPosition_ > rotationLast_) rotationPosition_ = 0;
}

}  // namespace quarnel
