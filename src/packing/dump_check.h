// Whether a game is whole: the files kept beside a compressed image (its FLACs and cue sheet)
// checked against the list of the dump's files, and the files of a dump, compressed or raw, named
// against a DAT file by game, file by file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/checksums.h"
#include "common/reporter.h"
#include "packing/dat_file.h"
#include "packing/dump_list.h"

namespace quarnel {

struct DumpCheck {
  bool listed = false;                // a list of the dump's files stands beside the image
  std::vector<std::string> problems;  // "FILE: what is wrong", each one a failure
  // The dump's files as the image and what lies beside it hold them: a file whose every part
  // checked out has the list's digests; one that did not is left out.
  std::vector<HeldFile> held;
  bool dataFileOriginal = false;  // the blocks restore the dump's own data track file
  bool stopped = false;  // the stop token ended the check: the problems found before it stand
  bool Complete() const { return listed && !stopped && problems.empty() && dataFileOriginal; }
};

// Checks the FLACs (each decodes, with the length and SHA-1 its tags and the list give) and the
// kept cue sheet beside `dataFile`. `restored` are the digests of what the blocks restore, and
// `restoredPrefixSha1` that of their first list.prefixLength bytes (a single image's data part).
DumpCheck CheckDumpBeside(const std::string& dataFile, const DumpList& list,
                          const ChecksumDigests& restored, const std::string& restoredPrefixSha1,
                          Reporter& reporter);

// A raw dump checked as it lies: every file of the disc that `given` names (an image, a track file
// or its cue sheet) hashed, and with a DAT, named by game file by file.
struct RawDumpReport {
  std::vector<HeldFile> files;  // the disc's files, the cue sheet last
  std::optional<GameReport> game;
  bool datSearched = false;
  bool stopped = false;
  std::string error;  // the disc could not be read: one sentence naming the file

  bool Passed() const {
    return error.empty() && !stopped && (!datSearched || (game && game->Complete()));
  }
};

RawDumpReport CheckRawDump(const std::string& given, const DatFile* dat, const std::string& datName,
                           Reporter& reporter);

// Logs what a DAT says of the held files: the game (nullopt: no game of the DAT has these files)
// and, for each of its files, whether it matches, differs or is not held, and the verdict.
void LogGameReport(const std::optional<GameReport>& game, const std::string& datName,
                   Reporter& reporter);
// The game's files that differ from the DAT; a file not held is not among them.
std::vector<std::string> DifferingFiles(const GameReport& game);
// Why the held files are not the DAT's game, naming the files that differ.
std::string DatFailure(const std::optional<GameReport>& game, const std::string& datName);

}  // namespace quarnel
