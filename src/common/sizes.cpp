#include "common/sizes.h"

#include <cmath>
#include <cstdio>

namespace quarnel {

std::string MegabytesText(uint64_t bytes) {
  const double mb = static_cast<double>(bytes) / 1e6;
  char text[32];
  std::snprintf(text, sizeof text, mb < 9.95 ? "%.1f" : "%.0f", mb);
  return text;
}

int PercentSmaller(uint64_t before, uint64_t after) {
  if (before == 0) return 0;
  const double percent = 100.0 * (static_cast<double>(before) - static_cast<double>(after)) /
                         static_cast<double>(before);
  const int rounded = static_cast<int>(std::lround(percent));
  return after != 0 && rounded >= 100 ? 99 : rounded;
}

}  // namespace quarnel
