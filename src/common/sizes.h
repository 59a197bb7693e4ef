// Sizes as every front end and log line states them, from one definition: before is every byte of
// the disc's track files (not its cue sheet), after is everything kept for it (the data file, its
// side file, and any FLACs, cue sheet and list kept beside them). An image without that list
// tells only its data track: before is then the restored image. Tables and log lines give decimal
// megabytes, JSON gives bytes.
#pragma once

#include <cstdint>
#include <string>

namespace quarnel {

// "0.5", "3.4", "12", "700": decimal megabytes, with a decimal below 10.
std::string MegabytesText(uint64_t bytes);

// How much smaller `after` is than `before`, in percent rounded to the nearest; never 100 while
// anything is left, negative when `after` is larger; 0 when `before` is 0.
int PercentSmaller(uint64_t before, uint64_t after);

}  // namespace quarnel
