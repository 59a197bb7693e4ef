// The XA ADPCM decoder's shift table and sample history: plain process-wide state that the
// decoder in xa/ works on and the shared state holds.
#pragma once

#include <cstdint>

namespace quarnel {

struct XaDecoder {
  int32_t XaShiftTable[16][16];
  // Left newest, left previous, right newest, right previous (mono uses the first two).
  int32_t XaDecoderState[4];
};

}  // namespace quarnel
