#include "packing/dump_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "analysis/cue_sheet.h"
#include "common/image_path.h"
#include "common/outcome.h"
#include "packing/dump_files.h"
#include "packing/flac_tracks.h"

namespace quarnel {

namespace {

// Decodes every FLAC of the list whole: each must restore the length and SHA-1 of its tags. A stop
// ends the loop and is no problem. Returns what the FLACs whose tags could be read hold.
std::vector<FlacRange> CheckFlacs(const std::string& folder, const DumpList& list, DumpCheck& check,
                                  Reporter& reporter) {
  const auto poll = [&] {
    reporter.Pump();
    return reporter.StopRequested();
  };
  std::vector<FlacRange> held;
  for (const std::string& flac : list.flacs) {
    FlacRange range;
    std::string why;
    if (!DecodeFlac(folder + flac, &range, {}, poll, &why, &check.stopped)) {
      if (check.stopped) break;
      check.problems.push_back(flac + ": " + why);
      // Its tags may still say what it holds: the file is then not missing, only damaged.
      if (ReadFlacRange(folder + flac, &range, &why)) held.push_back(std::move(range));
      continue;
    }
    if (list.Find(range.file) == nullptr)
      check.problems.push_back(flac + ": it holds " + range.file + ", not a dump file");
    held.push_back(std::move(range));
  }
  return held;
}

// The end of the bytes the FLACs hold of `name` from `from` on, when they follow one another.
uint64_t CoveredEnd(const std::vector<FlacRange>& flacs, const std::string& name, uint64_t from) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (const FlacRange& range : flacs) {
    if (range.file == name) ranges.emplace_back(range.offset, range.length);
  }
  std::sort(ranges.begin(), ranges.end());
  for (const auto& [offset, length] : ranges) {
    if (offset != from) return from;
    from += length;
  }
  return from;
}

// The cue sheet is held when the list holds its bytes, else when the copy beside the image is the
// dump's.
void CheckCueSheet(const std::string& folder, const DumpList& list, DumpCheck& check) {
  if (list.cueSheet.empty()) return;
  std::string bytes = list.cueText;
  const int error =
      bytes.empty() ? ReadSmallFile(folder + list.cueSheet, CUE_SHEET_MAX_SIZE, &bytes) : 0;
  if (error == 0 && IsListedCueSheet(list, bytes)) {
    check.held.push_back(*list.Find(list.cueSheet));
    return;
  }
  check.problems.push_back(list.cueSheet + ": " +
                           (error == ENOENT ? "it is missing beside the image"
                            : error == 0 || error == EFBIG
                                ? "it is not the dump's cue sheet"
                                : "cannot read it: " + std::string(std::strerror(error))));
}

// Logs what a DAT says of the held files (LogGameReport) and returns it.
std::optional<GameReport> ReportDatGame(const DatFile& dat, const std::string& datName,
                                        const std::vector<HeldFile>& held, Reporter& reporter) {
  std::optional<GameReport> game = dat.MatchGame(held);
  LogGameReport(game, datName, reporter);
  return game;
}

}  // namespace

DumpCheck CheckDumpBeside(const std::string& dataFile, const DumpList& list,
                          const ChecksumDigests& restored, const std::string& restoredPrefixSha1,
                          Reporter& reporter) {
  DumpCheck check;
  check.listed = true;
  const std::string folder = FolderOf(dataFile);
  const std::vector<FlacRange> flacs = CheckFlacs(folder, list, check, reporter);
  if (check.stopped) return check;
  const bool flacsGood = check.problems.empty();
  for (const HeldFile& file : list.files) {
    if (file.name == list.cueSheet) continue;
    if (file.name == list.dataFile) {
      const bool partGood = list.prefixLength == 0
                                ? restored.size == file.size && restored.sha1 == file.sha1
                                : restoredPrefixSha1 == list.prefixSha1 &&
                                      CoveredEnd(flacs, file.name, list.prefixLength) == file.size;
      check.dataFileOriginal = partGood && (list.prefixLength == 0 || flacsGood);
      if (check.dataFileOriginal) {
        check.held.push_back(file);
      } else if (list.prefixLength == 0) {
        check.held.push_back(
            {file.name, restored.size, restored.crc32, restored.md5, restored.sha1});
      }
      if (!partGood && !list.ripped) {
        check.problems.push_back(file.name + ": the blocks do not restore the dump's bytes");
      }
      continue;
    }
    if (CoveredEnd(flacs, file.name, 0) != file.size) {
      check.problems.push_back(file.name + ": its FLACs are missing or do not hold all of it");
    } else if (flacsGood) {
      check.held.push_back(file);
    }
  }
  CheckCueSheet(folder, list, check);
  return check;
}

std::vector<std::string> DifferingFiles(const GameReport& game) {
  std::vector<std::string> names;
  for (const RomReport& rom : game.roms) {
    if (rom.status == RomStatus::Differs) names.push_back(rom.rom);
  }
  return names;
}

std::string DatFailure(const std::optional<GameReport>& game, const std::string& datName) {
  if (!game) return datName + " has no game with these files";
  const std::vector<std::string> differing = DifferingFiles(*game);
  if (differing.empty()) return "the DAT's " + game->game + " is not complete";
  return NameList(differing) + (differing.size() == 1 ? " differs" : " differ") + " from " +
         datName;
}

void LogGameReport(const std::optional<GameReport>& game, const std::string& datName,
                   Reporter& reporter) {
  if (!game) {
    reporter.LogF("- %s has no game with these files.", datName.c_str());
    return;
  }
  reporter.LogF("- DAT game: %s", game->game.c_str());
  for (const RomReport& rom : game->roms) {
    switch (rom.status) {
      case RomStatus::Matches:
        reporter.LogF("- %s: matches", rom.rom.c_str());
        break;
      case RomStatus::Differs:
        reporter.LogF("- %s: differs from the DAT's size or SHA-1", rom.rom.c_str());
        break;
      case RomStatus::NotHeld:
        reporter.LogF("- %s: not held", rom.rom.c_str());
        break;
    }
  }
  reporter.Log(game->Complete() ? "- The game is complete: every file matches the DAT."
                                : "- The game is not complete.");
}

RawDumpReport CheckRawDump(const std::string& given, const DatFile* dat, const std::string& datName,
                           Reporter& reporter) {
  RawDumpReport report;
  std::vector<std::string> paths;
  if (!DumpFilesOf(given, &paths, &report.error)) return report;
  reporter.LogF("- Verifying the dump %s: %zu files", given.c_str(), paths.size());
  DumpHashing hashed = HashDumpFiles(paths, 0, reporter);
  report.stopped = hashed.stopped;
  report.error = hashed.error;
  report.files = std::move(hashed.files);
  if (!report.error.empty() || report.stopped) return report;
  for (const HeldFile& f : report.files) {
    reporter.LogF("- %s: %llu bytes, SHA-1 %s", f.name.c_str(),
                  static_cast<unsigned long long>(f.size), f.sha1.c_str());
  }
  if (dat != nullptr) {
    report.datSearched = true;
    report.game = ReportDatGame(*dat, datName, report.files, reporter);
  }
  return report;
}

}  // namespace quarnel
