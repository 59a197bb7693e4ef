// The files of a raw dump as a DAT lists them: every track file (or the single image) and the cue
// sheet, each read whole and hashed (CRC32, MD5, SHA-1 on every core).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/reporter.h"
#include "packing/dat_file.h"

namespace quarnel {

struct DumpHashing {
  std::vector<HeldFile> files;  // in the order given, under their base names
  // With a prefix asked for: the SHA-1 of the first file's first `prefixLength` bytes.
  std::string prefixSha1;
  bool stopped = false;
  std::string error;  // a file that could not be read: one sentence naming it
};

// Hashes every file of `paths` (regular files only; a FIFO or device is refused, never waited on),
// with the progress over their bytes and the stop token tested between pieces.
DumpHashing HashDumpFiles(const std::vector<std::string>& paths, uint64_t prefixLength,
                          Reporter& reporter);

// The files of the disc that `given` names (an image, a track file or a cue sheet), the cue
// sheet last: false with `why` when it is no disc this program reads.
bool DumpFilesOf(const std::string& given, std::vector<std::string>* paths, std::string* why);

}  // namespace quarnel
