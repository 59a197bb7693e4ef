// quarnel verify: restores each compressed image in memory and checks it, writing nothing.

#include <sys/stat.h>

#include <cstdio>

#include "cli/command_line.h"
#include "common/commit_group.h"
#include "packing/dump_check.h"
#include "packing/dump_list.h"
#include "packing/verify_image.h"

namespace quarnel::cli {

namespace {

// Every file a DAT names for the game, and what the held files are to it.
void AddDatFields(JsonWriter& json, const std::string& datName,
                  const std::optional<DatMatch>& match, const std::optional<GameReport>& game) {
  json.Key("dat");
  json.BeginObject();
  json.Field("file", datName);
  json.Field("found", game.has_value() || match.has_value());
  json.Field("game", game ? game->game : match ? match->game : "");
  json.Field("rom", match ? match->rom : "");
  json.Field("complete", game && game->Complete());
  json.Key("files");
  json.BeginArray();
  for (const RomReport& rom : game ? game->roms : std::vector<RomReport>{}) {
    json.BeginObject();
    json.Field("name", rom.rom);
    json.Field("status", rom.status == RomStatus::Matches   ? "matches"
                         : rom.status == RomStatus::Differs ? "differs"
                                                            : "not held");
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
}

std::string VerifyJson(const VerifyReport& report, const VerifyOptions& options,
                       const std::string& dataFile, const ImageSizes& sizes,
                       const std::string& error, const std::vector<std::string>& log) {
  const ImageLayout& layout = report.layout;
  std::string out;
  JsonWriter json(out);
  json.BeginObject();
  json.Field("dataFile", dataFile);
  json.Field("sideFile", layout.sideFile);
  json.Field("compressionMode", static_cast<uint32_t>(layout.mode));
  json.Field("blocks", layout.blocks);
  json.Field("damagedBlocks", report.damagedBlocks);
  json.Field("restoredSize", static_cast<int64_t>(report.restored.size));
  json.Field("crc32", report.restored.crc32);
  json.Field("md5", report.restored.md5);
  json.Field("sha1", report.restored.sha1);
  AddProblemsField(json, layout);
  json.Field("moreProblems", layout.moreProblems);
  if (report.compared) {
    json.Key("source");
    json.BeginObject();
    json.Field("image", options.source);
    json.Field("size", static_cast<int64_t>(report.sourceSize));
    json.Key("differences");
    json.BeginArray();
    for (const SectorDifference& d : report.differences) {
      json.BeginObject();
      json.Field("firstSector", d.first);
      json.Field("lastSector", d.last);
      json.Field("inMedium", d.inMedium);
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
  }
  if (report.datSearched) AddDatFields(json, options.datName, report.datMatch, report.game);
  if (report.dump) {
    json.Key("dump");
    json.BeginObject();
    json.Field("complete", report.dump->Complete());
    json.Field("dataTrackOriginal", report.dump->dataFileOriginal);
    json.EndObject();
  }
  AddSizeFields(json, sizes.before, sizes.after);
  AddWarningsField(json, log);
  json.Field("stopped", report.stopped);
  json.Field("passed", report.Passed());
  AddLogField(json, log);
  json.Field("error", error);
  json.EndObject();
  return out;
}

// Why `dataFile` failed: the problem when there is one, else how many (each has its own line).
std::string VerifyFailure(const VerifyReport& report, const VerifyOptions& options,
                          const std::string& dataFile) {
  const ImageLayout& layout = report.layout;
  const std::string failed = dataFile + " failed verification: ";
  const size_t count = layout.problems.size() + layout.moreProblems;
  if (count == 1 && !layout.problems.empty()) return failed + layout.problems[0].Text();
  if (count > 1) return failed + std::to_string(count) + " problems";
  if (!layout.opened) return layout.error;
  if (report.datSearched) return failed + DatFailure(report.game, options.datName);
  return failed + std::to_string(report.damagedBlocks) + " damaged blocks";
}

InputOutcome VerifyOne(const std::string& dataFile, const VerifyOptions& options, bool jsonMode) {
  InputOutcome outcome;
  CliReporter reporter(jsonMode, /*replaceFiles=*/false);
  struct stat st;
  if (::stat(dataFile.c_str(), &st) == 0) reporter.SetWorkBytes(static_cast<uint64_t>(st.st_size));
  const VerifyReport report = VerifyImage(reporter, dataFile, options);
  reporter.EraseProgress();
  const ImageLayout& layout = report.layout;
  const ImageSizes sizes = CompressedImageSizes(dataFile, layout.sideFile, report.restored.size);
  outcome.sizeBefore = sizes.before;
  outcome.sizeAfter = sizes.after;
  const size_t count = layout.problems.size() + layout.moreProblems;
  if (report.stopped) {
    outcome.status = EXIT_INTERRUPTED;
    outcome.result = "stopped";
  } else if (!report.Passed()) {
    outcome.status = EXIT_FAILED;
    outcome.error = VerifyFailure(report, options, dataFile);
    outcome.result = !layout.opened ? "not verified"
                     : count != 0 ? std::to_string(count) + (count == 1 ? " problem" : " problems")
                                  : "no DAT entry";
    reporter.EndRun(ErrorLine(outcome.error));
  } else {
    outcome.result = report.game ? report.game->game : "verified";
    if (report.game && !report.game->Complete()) outcome.note = "game not complete";
    if (report.dump && report.dump->Complete()) outcome.note = "complete dump";
    reporter.EndRun("Verified " + dataFile + ": it restores whole.");
  }
  if (jsonMode) {
    outcome.document =
        VerifyJson(report, options, dataFile, sizes, outcome.error, reporter.LogLines());
  }
  return outcome;
}

// A raw dump (an image, a track file or a cue sheet): every file hashed, and named by a DAT.
InputOutcome VerifyRawDump(const std::string& given, const VerifyOptions& options, bool jsonMode) {
  InputOutcome outcome;
  CliReporter reporter(jsonMode, /*replaceFiles=*/false);
  const RawDumpReport report = CheckRawDump(given, options.dat, options.datName, reporter);
  reporter.EraseProgress();
  for (const HeldFile& f : report.files) outcome.sizeBefore += f.size;
  outcome.sizeAfter = outcome.sizeBefore;
  if (report.stopped) {
    outcome.status = EXIT_INTERRUPTED;
    outcome.result = "stopped";
  } else if (!report.Passed()) {
    outcome.status = EXIT_FAILED;
    outcome.error = !report.error.empty() ? report.error
                                          : given + ": " + DatFailure(report.game, options.datName);
    outcome.result = report.error.empty() ? "not in the DAT" : "not verified";
    reporter.EndRun(ErrorLine(outcome.error));
  } else {
    outcome.result =
        report.game ? report.game->game : std::to_string(report.files.size()) + " files";
    if (report.game) outcome.note = "complete";
    reporter.EndRun("Verified " + given + ": " + std::to_string(report.files.size()) +
                    " files read whole.");
  }
  if (jsonMode) {
    std::string out;
    JsonWriter json(out);
    json.BeginObject();
    json.Field("dump", given);
    json.Key("files");
    json.BeginArray();
    for (const HeldFile& f : report.files) {
      json.BeginObject();
      json.Field("name", f.name);
      json.Field("size", static_cast<int64_t>(f.size));
      json.Field("crc32", f.crc32);
      json.Field("md5", f.md5);
      json.Field("sha1", f.sha1);
      json.EndObject();
    }
    json.EndArray();
    if (report.datSearched) AddDatFields(json, options.datName, std::nullopt, report.game);
    AddSizeFields(json, outcome.sizeBefore, outcome.sizeAfter);
    json.Field("stopped", report.stopped);
    json.Field("passed", report.Passed());
    AddLogField(json, reporter.LogLines());
    AddWarningsField(json, reporter.LogLines());
    json.Field("error", outcome.error);
    json.EndObject();
    outcome.document = out;
  }
  return outcome;
}

// The media of the source's analysis, which ripping may have changed. Returns why it failed,
// empty when it did not (or when it was stopped).
std::string AnalyseSource(const std::string& image, VerifyOptions& options, bool jsonMode) {
  CliReporter reporter(jsonMode, /*replaceFiles=*/false);
  const AnalysisResult analysed = RunAnalysis(reporter, image, AnalysisOptions{});
  const std::string failure = AnalysisFailure(analysed, image);
  if (!analysed.Complete()) {
    // The caller says it: the log's line of a refusal is left out.
    reporter.DropError(failure);
    return failure;
  }
  const DiscAnalysis& found = *analysed.analysis;
  // A cue sheet or any file of a set stands for its disc: the data track's file is compared.
  options.source = found.dataTrackFile;
  for (uint32_t i = 0; i < found.MediaCount(); ++i) {
    options.media.push_back({found.MediaTable[i].firstSector, found.MediaTable[i].lastSector});
  }
  options.sourceHasAudioTracks = found.HasAudioTracks();
  return {};
}

}  // namespace

int RunVerify(const std::vector<std::string>& args) {
  bool jsonMode = false;
  std::optional<std::string> source, datPath;
  std::vector<std::string> dataFiles;
  const int parsed = ParseOrExit(
      args, {{"--json", &jsonMode}, {"--source", nullptr, &source}, {"--dat", nullptr, &datPath}},
      {"DATAFILE..."}, dataFiles);
  if (parsed >= 0) return parsed;

  VerifyOptions options;
  DatFile dat;
  if (datPath) {
    std::string error;
    if (!dat.Load(*datPath, error)) return FailBeforeInputs(error, jsonMode);
    options.dat = &dat;
    options.datName = *datPath;
  }
  if (source) {
    const std::string why = AnalyseSource(*source, options, jsonMode);
    if (!why.empty()) return FailBeforeInputs("--source: " + why, jsonMode);
    if (StopAsked()) return EXIT_INTERRUPTED;
  }
  return RunBatch(AsBatch(dataFiles), jsonMode, [&](const std::string& input) {
    // What is no compressed image by its name is a raw dump: checked as it lies.
    if (!CompressionModeOfName(input)) return VerifyRawDump(input, options, jsonMode);
    return VerifyOne(input, options, jsonMode);
  });
}

}  // namespace quarnel::cli
