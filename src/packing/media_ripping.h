// Ripping of marked media while "Process ISO" reads the image: marked videos are overwritten with
// the sectors of a stand-by movie (the video source) and cleared where it runs out, or keep their
// first tenth; marked XA streams are flagged for the XA sector extraction, which clears them.
// Sync, header and (except where stated) subheader always stay, so the image keeps its geometry.
#pragma once

#include <cstdint>
#include <memory>

#include "analysis/media_tables.h"
#include "common/image_file.h"
#include "common/reporter.h"
#include "packing/compressed_format.h"

namespace quarnel {

// Clears a ripped video sector's picture data; the FF8 sectors keep a shorter header.
void ClearVideoSector(uint8_t* sector, bool ff8);
// Clears a ripped XA sector: the whole user data and the EDC.
void ClearXaSector(uint8_t* sector);

class MediaRipper {
 public:
  // `media` is the run's media table with its marks (MEDIA_TABLE_SIZE records); it must outlive
  // the ripper. `ff8`: the analysis looked for FF8 movies, whose sectors keep a shorter header.
  MediaRipper(const MediaRecord* media, bool ff8) : media_(media), ff8_(ff8) {}

  // The built-in placeholder movie, or with "Smallest Video Source" the shortest marked medium
  // read from the image (the first of equally short ones).
  void ChooseVideoSource(bool smallestSource, ImageFile& image, Reporter& reporter);
  // Before the pass: XA streams are flagged for extraction in every kind but bzip2's.
  void SetUpCursor(CompressionMode mode);

  // Rips sector n (2352 bytes at `sector`) in place. Sectors must come in ascending order.
  void RipSector(uint32_t n, uint8_t* sector);

  // Set when the current block holds sectors of a ripped XA stream; the caller clears it per block.
  bool blockHoldsRippedXa = false;

  // The marked media whose sectors the pass has reached, wherever they end.
  uint32_t RippedCount() const { return rippedCount_; }
  uint32_t VideoSourceSectors() const { return sourceSectors_; }
  bool VideoSourceFromImage() const { return sourceBuffer_ != nullptr; }
  void ReleaseVideoSource();

 private:
  enum class Form { Continuing, Switching };
  void VideoRule(const MediaRecord& r, uint32_t n, uint8_t* sector, Form form);
  void RipInRecord(const MediaRecord& r, uint32_t n, uint8_t* sector, Form form);

  const MediaRecord* media_;
  CompressionMode mode_ = CompressionMode::None;
  const bool ff8_;
  const uint8_t* source_ = nullptr;
  uint32_t sourceSectors_ = 0;
  uint32_t readPosition_ = 0;
  std::unique_ptr<uint8_t[]> sourceBuffer_;
  uint32_t mediaCursor_ = 0;  // MEDIA_TABLE_SIZE: past the end, nothing more is ripped
  uint32_t rippedCount_ = 0;
  uint32_t lastCounted_ = MEDIA_TABLE_SIZE;  // the record counted last; none yet
};

}  // namespace quarnel
