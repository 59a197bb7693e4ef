// The XA ADPCM decoder on arbitrary sound groups: every parameter byte, filter and shift value,
// mono and stereo, whole sectors and single groups, with the decoder's history carried across.
//
// Input: one mode byte (bit 0 stereo, bit 1 group by group), then sound groups of 128 bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/sector.h"
#include "fuzz_support.h"
#include "xa/xa_decoder.h"

using namespace quarnel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{data, size};
  const uint32_t mode = in.Byte();
  const bool stereo = (mode & 1) != 0;
  const bool byGroup = (mode & 2) != 0;

  XaDecoder decoder;
  InitXaDecoder(decoder);
  // Exact sizes, so that the address sanitizer sees any write past a sector's samples.
  std::vector<int16_t> pcm(XA_SAMPLES_PER_SECTOR);
  std::vector<uint8_t> sector(SECTOR_SIZE);
  constexpr size_t SECTOR_GROUP_BYTES = SOUND_GROUPS_PER_SECTOR * SOUND_GROUP_SIZE;
  while (in.size != 0) {
    const uint8_t* bytes;
    if (byGroup) {
      std::vector<uint8_t> group(SOUND_GROUP_SIZE);
      const size_t n = in.Take(SOUND_GROUP_SIZE, &bytes);
      std::memcpy(group.data(), bytes, n);
      std::vector<int16_t> samples(XA_SAMPLES_PER_SECTOR / SOUND_GROUPS_PER_SECTOR);
      if (stereo) {
        DecodeXaGroupStereo(decoder, samples.data(), group.data());
      } else {
        DecodeXaGroupMono(decoder, samples.data(), group.data());
      }
      continue;
    }
    std::fill(sector.begin(), sector.end(), 0);
    const size_t n = in.Take(SECTOR_GROUP_BYTES, &bytes);
    std::memcpy(sector.data() + USER_DATA_OFFSET, bytes, n);
    if (stereo) {
      DecodeXaSectorStereo(decoder, pcm.data(), sector.data());
    } else {
      DecodeXaSectorMono(decoder, pcm.data(), sector.data());
    }
  }
  return 0;
}
