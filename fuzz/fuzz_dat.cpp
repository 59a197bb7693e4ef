// The DAT reader on arbitrary bytes, plain or zipped: a load either fails with a reason or gives
// entries that it then finds again by their own size and SHA-1, and whose first game's files are
// matched to a game with every rom of its entry reported. The same bytes as the list of a dump's
// files kept beside an image: parsed, or refused with a reason, and written back to themselves.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "packing/dat_file.h"
#include "packing/dump_list.h"

using namespace quarnel;

// A list that parses names only bare files, holds its data file and writes back to what parses
// to the same list.
void CheckDumpList(const uint8_t* data, size_t size) {
  DumpList list;
  std::string why;
  if (!ParseDumpList(std::string(reinterpret_cast<const char*>(data), size), &list, &why)) {
    if (why.empty()) std::abort();
    return;
  }
  if (list.Find(list.dataFile) == nullptr) std::abort();
  if (!list.cueText.empty() && !IsListedCueSheet(list, list.cueText)) std::abort();
  DumpList again;
  if (!ParseDumpList(FormatDumpList(list), &again, &why) ||
      FormatDumpList(again) != FormatDumpList(list)) {
    std::abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckDumpList(data, size);
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
  if (dat.Roms().empty()) return 0;
  std::vector<HeldFile> held;
  for (const DatRom& rom : dat.Roms()) {
    if (rom.game != dat.Roms().front().game || held.size() == 8) continue;
    const size_t slash = rom.name.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? rom.name : rom.name.substr(slash + 1);
    held.push_back({name, rom.size, rom.crc, rom.md5, rom.sha1});
  }
  const std::optional<GameReport> report = dat.MatchGame(held);
  if (!report) std::abort();  // each file has the name of one of the game's roms at least
  size_t roms = 0;
  for (const DatRom& rom : dat.Roms()) roms += rom.game == report->game;
  if (report->roms.size() != roms) std::abort();
  return 0;
}
