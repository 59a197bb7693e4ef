// A minimal encoder of version-2 STR frames: one still picture in, the demuxed frame data out.
#pragma once

#include <cstdint>
#include <vector>

namespace quarnel {

// A full-range 4:2:0 YCbCr picture; width and height are multiples of 16.
struct YcbcrPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y;   // width × height
  std::vector<uint8_t> cb;  // width/2 × height/2
  std::vector<uint8_t> cr;  // width/2 × height/2
};

// Encodes `picture` with quantization scale `qscale` (1 to 63). The result is the frame as its
// sectors carry it, 8 header bytes and the bitstream, padded to a multiple of 4 bytes.
std::vector<uint8_t> EncodeStrV2Frame(const YcbcrPicture& picture, int qscale);

}  // namespace quarnel
