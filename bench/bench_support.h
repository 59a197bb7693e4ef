// What the benchmarks share: a clock and the generated image of the analysis benchmarks.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "common/sector.h"
#include "synthetic/disc_builder.h"

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

// The analysis image of `sectors` sectors at `path`, generated unless a file of that size is
// already there. False (with the reason on stderr) when it cannot be written.
inline bool PrepareAnalysisImage(const std::string& path, uint32_t sectors) {
  if (std::filesystem::exists(path) &&
      std::filesystem::file_size(path) == uint64_t{sectors} * SECTOR_SIZE) {
    return true;
  }
  std::printf("generating %u sectors into %s\n", sectors, path.c_str());
  std::string error;
  if (BuildAnalysisImage(sectors).Write(path, {}, &error)) return true;
  std::fprintf(stderr, "%s\n", error.c_str());
  return false;
}

}  // namespace quarnel::bench
