// What the benchmarks share: a clock and the generated image of the analysis benchmarks.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/disc_builder.h"

namespace quarnel::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// A realistic mix, repeated: data, a movie with interleaved audio, data, a four-channel XA stream.
inline DiscBuilder BuildAnalysisImage(uint32_t sectors) {
  DiscBuilder disc;
  disc.AddDataSectors(300);
  while (disc.SectorCount() + 1200 < sectors) {
    disc.AddDataSectors(200);
    disc.AddMovie(60, 8, 7, 1);
    disc.AddDataSectors(50);
    disc.AddXaStream(4, 100);
  }
  disc.AddDataSectors(sectors - disc.SectorCount());
  return disc;
}

}  // namespace quarnel::bench
