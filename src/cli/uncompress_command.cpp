// quarnel uncompress: "Uncompress ISO" of a compressed image.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/command_line.h"
#include "common/image_path.h"
#include "packing/restore_image.h"

namespace quarnel::cli {

namespace {

std::string UncompressJson(const RestoreReport& result, const std::vector<std::string>& log) {
  std::string out;
  JsonWriter json(out);
  json.BeginObject();
  json.Field("dataFile", result.dataFile);
  json.Field("output", result.output);
  json.Field("compressionMode", static_cast<uint32_t>(result.mode));
  json.Field("blocks", result.blocks);
  json.Field("damagedBlocks", result.damagedBlocks);
  json.Field("stopped", result.outcome.stopped);
  AddLogField(json, log);
  json.Field("error", result.outcome.error);
  json.EndObject();
  return out;
}

InputOutcome UncompressOne(const std::string& dataFile, bool force, bool jsonMode,
                           const std::string& outputDir) {
  CliReporter reporter(jsonMode, force);
  RestoreReport result;
  // A path the window's path box could not hold is refused rather than cut.
  if (!FitsImagePath(dataFile)) {
    result.dataFile = dataFile;
    result.outcome.Fail("cannot open " + dataFile + ": " + std::strerror(ENAMETOOLONG));
  } else {
    InstallInterruptHandlers();
    result = RestoreImage(RestoreRequest{dataFile, outputDir}, reporter);
  }
  const Outcome& outcome = result.outcome;
  reporter.EraseProgress();
  reporter.Log(FinalLine(outcome));

  InputOutcome input;
  if (jsonMode) {
    input.document = UncompressJson(result, reporter.LogLines());
  }
  if (result.declined) {
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
  return RunBatch(dataFiles, jsonMode, [&](const std::string& dataFile) {
    return UncompressOne(dataFile, force, jsonMode, outputDir.value_or(""));
  });
}

}  // namespace quarnel::cli
