// The built-in movie that ripped videos are overwritten with when no source is taken from the
// image.
#pragma once

#include <cstdint>

namespace quarnel {

constexpr uint32_t PLACEHOLDER_VIDEO_SECTORS = 350;

// PLACEHOLDER_VIDEO_SECTORS raw 2352-byte Mode 2 Form 1 sectors: 70 version-2 STR frames of
// 320 × 240, five sectors each. Made at build time by tools/placeholder_video, which documents
// the layout.
const uint8_t* PlaceholderVideo();

}  // namespace quarnel
