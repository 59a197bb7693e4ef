#include "packing/media_ripping.h"

#include <cstring>
#include <new>

#include "packing/compressed_format.h"
#include "packing/placeholder_video.h"

namespace quarnel {

namespace {

// Video sectors keep their STR sector header (32 bytes of user data) or, for FF8 movies, their
// 8-byte one; the picture data up to the end of the 2048 bytes is cleared.
constexpr size_t VIDEO_CLEAR_END = USER_DATA_OFFSET + FORM1_USER_DATA_SIZE;  // 2072
constexpr size_t VIDEO_CLEAR_START = USER_DATA_OFFSET + STR_HEADER_SIZE;
constexpr size_t FF8_CLEAR_START = USER_DATA_OFFSET + 8;

// The continuing form copies everything from the subheader on; the switching form keeps the
// sector's own subheader and the first four bytes of its user data.
constexpr size_t CONTINUING_COPY_START = SUBHEADER_OFFSET;     // 16
constexpr size_t SWITCHING_COPY_START = USER_DATA_OFFSET + 4;  // 28

constexpr uint32_t TEN_PERCENT = 10;

}  // namespace

void ClearVideoSector(uint8_t* sector, bool ff8) {
  const size_t start = ff8 ? FF8_CLEAR_START : VIDEO_CLEAR_START;
  std::memset(sector + start, 0, VIDEO_CLEAR_END - start);
}

void ClearXaSector(uint8_t* sector) {
  std::memset(sector + USER_DATA_OFFSET, 0, SECTOR_SIZE - USER_DATA_OFFSET);
}

void MediaRipper::ChooseVideoSource(bool smallestSource, ImageFile& image, Reporter& reporter) {
  source_ = PlaceholderVideo();
  sourceSectors_ = PLACEHOLDER_VIDEO_SECTORS;
  if (!smallestSource) return;

  const MediaRecord* smallest = nullptr;
  uint64_t smallestLength = 0;
  for (uint32_t i = 0; i < MEDIA_TABLE_SIZE; ++i) {
    const MediaRecord& r = media_[i];
    if (r.kind == MEDIA_NONE || r.rip != 1 || r.lastSector < r.firstSector) continue;
    const uint64_t length = uint64_t{r.lastSector} - r.firstSector + 1;
    if (smallest == nullptr || length < smallestLength) {
      smallest = &r;
      smallestLength = length;
    }
  }
  if (smallest == nullptr) return;

  // Zero-filled, so that a short read leaves zeros rather than stale memory.
  const uint64_t bytes = smallestLength * SECTOR_SIZE;
  sourceBuffer_.reset(new (std::nothrow) uint8_t[bytes]());
  if (!sourceBuffer_) {
    reporter.Log("Can't alloc memory for video source");
    return;
  }
  for (uint32_t i = 0; i < smallestLength; ++i) {
    if (!image.ReadSectorAt(smallest->firstSector + i, sourceBuffer_.get() + i * SECTOR_SIZE)) {
      break;
    }
  }
  source_ = sourceBuffer_.get();
  sourceSectors_ = static_cast<uint32_t>(smallestLength);
}

void MediaRipper::ReleaseVideoSource() {
  sourceBuffer_.reset();
  source_ = nullptr;
  sourceSectors_ = 0;
}

void MediaRipper::SetUpCursor(CompressionMode mode) {
  mode_ = mode;
  mediaCursor_ = 0;
  if (!media_[0].rip) {
    mediaCursor_ = 1;
    while (mediaCursor_ < MEDIA_TABLE_SIZE - 1 && !media_[mediaCursor_].rip) {
      ++mediaCursor_;
    }
  }
  rippedCount_ = 0;
  lastCounted_ = MEDIA_TABLE_SIZE;
  readPosition_ = 0;
}

void MediaRipper::RipSector(uint32_t n, uint8_t* sector) {
  if (mediaCursor_ >= MEDIA_TABLE_SIZE) return;
  const MediaRecord& r = media_[mediaCursor_];
  if (!r.rip) return;
  if (n < r.firstSector) return;
  if (n <= r.lastSector) {
    RipInRecord(r, n, sector, Form::Continuing);
    return;
  }

  // The pass has gone beyond r: on to the next marked record.
  if (mediaCursor_ == MEDIA_TABLE_SIZE - 1) {
    mediaCursor_ = MEDIA_TABLE_SIZE;
  } else {
    ++mediaCursor_;
    while (mediaCursor_ < MEDIA_TABLE_SIZE - 1 && !media_[mediaCursor_].rip) {
      ++mediaCursor_;
    }
  }
  readPosition_ = 0;
  if (mediaCursor_ >= MEDIA_TABLE_SIZE) return;
  const MediaRecord& next = media_[mediaCursor_];
  if (next.rip && next.firstSector <= n && n <= next.lastSector) {
    RipInRecord(next, n, sector, Form::Switching);
  }
}

void MediaRipper::RipInRecord(const MediaRecord& r, uint32_t n, uint8_t* sector, Form form) {
  // Counted when the pass reaches it, so a medium that ends on the data track's last sector counts
  // as well as one the pass goes beyond.
  if (lastCounted_ != mediaCursor_) {
    lastCounted_ = mediaCursor_;
    rippedCount_ += 1;
  }
  if (r.kind == MEDIA_VIDEO) {
    VideoRule(r, n, sector, form);
  } else if (r.kind == MEDIA_XA && mode_ != CompressionMode::Bzip2) {
    blockHoldsRippedXa = true;
  }
}

void MediaRipper::VideoRule(const MediaRecord& r, uint32_t n, uint8_t* sector, Form form) {
  const bool ff8 = ff8_;
  if (r.keepTenPercent) {
    // A one-sector video has no tenth to speak of: it is kept whole.
    if (r.lastSector == r.firstSector) return;
    const uint64_t ratio = uint64_t{n - r.firstSector} * 100 / (r.lastSector - r.firstSector);
    if (ratio > TEN_PERCENT) ClearVideoSector(sector, ff8);
    return;
  }
  if (readPosition_ >= sourceSectors_) {
    ClearVideoSector(sector, ff8);
    return;
  }
  if (form == Form::Continuing) {
    const uint8_t* from = source_ + size_t{readPosition_} * SECTOR_SIZE;
    std::memcpy(sector + CONTINUING_COPY_START, from + CONTINUING_COPY_START,
                SECTOR_SIZE - CONTINUING_COPY_START);
    readPosition_ += 1;
  } else {
    std::memcpy(sector + SWITCHING_COPY_START, source_ + SWITCHING_COPY_START,
                SECTOR_SIZE - SWITCHING_COPY_START);
    readPosition_ = 1;
  }
}

}  // namespace quarnel
