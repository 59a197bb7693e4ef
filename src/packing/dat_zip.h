// Reading a zipped DAT: the one .dat entry of a zip archive held in memory, inflated within the
// size a DAT may have.
#pragma once

#include <string>

namespace quarnel {

// A zip archive starts with a local file header, or is an empty one's end record.
bool IsZip(const std::string& data);

// Inflates the one .dat entry of the zip archive `zip` into `text`, its name into `entry`. On
// failure `error` is one line that starts with `path`: a damaged archive, an entry larger than
// MAX_DAT_FILE_SIZE or inflating to other than its stated size, or no or several .dat entries
// (then the entries it holds).
bool UnzipDat(const std::string& path, const std::string& zip, std::string& text,
              std::string& entry, std::string& error);

}  // namespace quarnel
