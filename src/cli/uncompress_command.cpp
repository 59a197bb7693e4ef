// quarnel uncompress: "Uncompress ISO" of a compressed image.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/command_line.h"
#include "packing/uncompress_iso.h"

namespace quarnel::cli {

namespace {

std::string UncompressJson(const AppState& state, const UncompressResult& result,
                           const std::vector<std::string>& log) {
  std::string out;
  JsonWriter json(out);
  json.BeginObject();
  json.Field("dataFile", result.dataFile);
  json.Field("output", result.output);
  json.Field("compressionMode", state.CompressionMode);
  json.Field("blocks", result.blocks);
  json.Field("damagedBlocks", result.damagedBlocks);
  json.Field("stopped", result.outcome.stopped || result.stopped);
  AddLogField(json, log);
  json.Field("error", result.outcome.error);
  json.EndObject();
  return out;
}

InputOutcome UncompressOne(const std::string& dataFile, bool force, bool jsonMode,
                           const UncompressOptions& options) {
  const auto state = MakeAppState();
  CliWindow window(*state, jsonMode, force);
  UncompressResult result;
  // The path box holds at most IMAGE_PATH_SIZE - 1 characters; a cut path could name another file.
  if (dataFile.size() >= IMAGE_PATH_SIZE) {
    result.dataFile = dataFile;
    result.outcome.Fail("cannot open " + dataFile + ": " + std::strerror(ENAMETOOLONG));
  } else {
    window.SetControlText(IDC_PATH, dataFile);
    InstallInterruptHandler();
    result = UncompressIso(*state, window, options);
    result.outcome.stopped = result.stopped;
  }
  const Outcome& outcome = result.outcome;
  window.EraseProgress();
  window.AppendPanelLine(FinalLine(outcome).c_str(), IDC_INFO_LOG);

  InputOutcome input;
  if (jsonMode) {
    input.document = UncompressJson(*state, result, window.LogLines());
  }
  if (result.refused) {
    input.error = result.output + " exists and was left as it is; --force replaces it" +
                  (result.replaceDetail.empty() ? std::string() : ". " + result.replaceDetail);
    PrintError(input.error);
  } else if (outcome.Failed()) {
    input.error = outcome.error;
    PrintError(outcome.error);
  }
  input.status = ExitStatusOf(outcome);
  if (outcome.Done()) {
    input.result = std::to_string(result.blocks) + " blocks";
    input.sizeBefore = FileBytes(result.dataFile);
    input.sizeAfter = FileBytes(result.output);
  }
  return input;
}

}  // namespace

int RunUncompress(const std::vector<std::string>& args) {
  bool force = false, jsonMode = false;
  std::optional<std::string> outputDir;
  std::vector<Option> options = {{"--force", &force}, {"--json", &jsonMode}};
  AddOutputDirOption(options, outputDir);
  std::vector<std::string> dataFiles;
  const int parsed = ParseOrExit(args, options, {"DATAFILE..."}, dataFiles);
  if (parsed >= 0) return parsed;
  if (outputDir && !MakeOutputDir(*outputDir)) return outputDir->empty() ? EXIT_USAGE : EXIT_FAILED;
  const UncompressOptions uncompress{outputDir.value_or("")};
  return RunBatch(dataFiles, jsonMode, [&](const std::string& dataFile) {
    return UncompressOne(dataFile, force, jsonMode, uncompress);
  });
}

}  // namespace quarnel::cli
