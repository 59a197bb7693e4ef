// The inverse of the XA decoder: 16-bit PCM into 4-bit ADPCM sound groups. For every sound unit it
// tries each standard filter and shift and keeps the pair whose decoded samples are closest to the
// input, carrying the decoder's own history so that decoding reproduces exactly what was chosen.
#pragma once

#include <cstdint>

namespace quarnel {

struct XaEncoder {
  // Decoder history as the decoder will see it: left newest, left previous, right newest, right
  // previous.
  int32_t history[4] = {0, 0, 0, 0};
};

// 224 mono samples (or 112 interleaved left/right pairs) into one 128-byte sound group.
void EncodeXaGroupMono(XaEncoder& encoder, uint8_t* group, const int16_t* samples);
void EncodeXaGroupStereo(XaEncoder& encoder, uint8_t* group, const int16_t* samples);

// 4032 samples into the 18 sound groups of a sector's user data (2304 bytes).
void EncodeXaSectorMono(XaEncoder& encoder, uint8_t* sectorData, const int16_t* samples);
void EncodeXaSectorStereo(XaEncoder& encoder, uint8_t* sectorData, const int16_t* samples);

}  // namespace quarnel
