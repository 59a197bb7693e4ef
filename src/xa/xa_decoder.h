// Decoder of the 4-bit ADPCM sound groups of CD-ROM XA audio sectors into 16-bit PCM.
#pragma once

#include <cstdint>

namespace quarnel {

// The decoder's shift table and its sample history: left newest, left previous, right newest,
// right previous (mono uses the first two).
struct XaDecoder {
  int32_t XaShiftTable[16][16];
  int32_t XaDecoderState[4];
};

void InitXaDecoder(XaDecoder& decoder);

// One 128-byte sound group into 224 samples (mono) or 112 interleaved left/right pairs (stereo).
void DecodeXaGroupMono(XaDecoder& decoder, int16_t* out, const uint8_t* group);
void DecodeXaGroupStereo(XaDecoder& decoder, int16_t* out, const uint8_t* group);

// The 18 sound groups that start at sector byte 24 into 4032 samples.
void DecodeXaSectorMono(XaDecoder& decoder, int16_t* out, const uint8_t* sectorData);
void DecodeXaSectorStereo(XaDecoder& decoder, int16_t* out, const uint8_t* sectorData);

}  // namespace quarnel
