// quarnel verify: restores each compressed image in memory and checks it, writing nothing.

#include <sys/stat.h>

#include <cstdio>

#include "cli/command_line.h"
#include "packing/verify_image.h"

namespace quarnel::cli {

namespace {

std::string VerifyJson(const VerifyReport& report, const VerifyOptions& options,
                       const std::string& dataFile, const std::string& error,
                       const std::vector<std::string>& log) {
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
  if (report.datSearched) {
    json.Key("dat");
    json.BeginObject();
    json.Field("file", options.datName);
    json.Field("found", report.datMatch.has_value());
    json.Field("game", report.datMatch ? report.datMatch->game : "");
    json.Field("rom", report.datMatch ? report.datMatch->rom : "");
    json.EndObject();
  }
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
  if (report.datSearched && !report.datMatch) {
    return failed + options.datName + " has no entry of the restored image's size and SHA-1";
  }
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
  outcome.sizeBefore = report.restored.size;
  outcome.sizeAfter = layout.dataSize;
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
    outcome.result = report.datMatch ? report.datMatch->game : "verified";
    reporter.EndRun("Verified " + dataFile + ": it restores whole.");
  }
  if (jsonMode) {
    outcome.document = VerifyJson(report, options, dataFile, outcome.error, reporter.LogLines());
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
    options.source = *source;
    const std::string why = AnalyseSource(*source, options, jsonMode);
    if (!why.empty()) return FailBeforeInputs("--source: " + why, jsonMode);
    if (StopAsked()) return EXIT_INTERRUPTED;
  }
  return RunBatch(AsBatch(dataFiles), jsonMode, [&](const std::string& dataFile) {
    return VerifyOne(dataFile, options, jsonMode);
  });
}

}  // namespace quarnel::cli
