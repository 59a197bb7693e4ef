// quarnel sample: writes the synthetic test disc.

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "cli/command_line.h"
#include "synthetic/disc_builder.h"

namespace quarnel::cli {

int RunSample(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  const int parsed = ParseOrExit(args, {}, {"DIR"}, positional);
  if (parsed >= 0) return parsed;
  const std::filesystem::path dir = positional[0];

  std::string error;
  if (!WriteSampleDisc(dir.string(), &error)) {
    EmitErrorLine(error);
    return EXIT_FAILED;
  }
  const std::filesystem::path bin = dir / "sample.bin";
  const std::filesystem::path cue = dir / "sample.cue";
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(bin, ec);
  if (ec) {
    EmitErrorLine("cannot read " + bin.string() + ": " + ec.message());
    return EXIT_FAILED;
  }
  std::string wrote = Format("Wrote %s (%ju sectors)\n", bin.c_str(), size / SECTOR_SIZE);
  if (std::filesystem::exists(cue, ec)) wrote += "Wrote " + cue.string() + "\n";
  // The same disc as a dumping tool keeps it: one file per track and a sheet that names them.
  for (uint32_t track = 1;
       std::filesystem::exists(dir / ("Sample Game (Track " + std::to_string(track) + ").bin"), ec);
       ++track) {
    wrote += "Wrote " + (dir / ("Sample Game (Track " + std::to_string(track) + ").bin")).string() +
             "\n";
  }
  wrote += "Wrote " + (dir / "Sample Game.cue").string() + "\n";
  Emit(stdout, wrote);
  return EXIT_DONE;
}

}  // namespace quarnel::cli
