// The DAT reader on arbitrary bytes: a load either fails with a reason or gives entries that it
// then finds again by their own size and SHA-1.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "packing/dat_file.h"

using namespace quarnel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchDir dir;
  const std::string path = dir.File("list.dat");
  fuzz::WriteFile(path, data, size);
  DatFile dat;
  std::string error;
  if (!dat.Load(path, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  for (const DatRom& rom : dat.Roms()) {
    if (rom.sha1.size() == 40 && !dat.Find(rom.size, rom.sha1)) std::abort();
  }
  dat.Find(0, "");
  return 0;
}
