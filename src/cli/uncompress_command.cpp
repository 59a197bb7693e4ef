// quarnel uncompress: "Uncompress ISO" of a compressed image.

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "cli/command_line.h"
#include "common/image_path.h"
#include "packing/restore_image.h"

namespace quarnel::cli {

namespace {

// Before: the compressed image as every command counts it; after: every file restored.
ImageSizes SizesOf(const RestoreReport& result) {
  if (result.mode == CompressionMode::None) return {};
  const std::string side = result.dataFile + KindOf(result.mode).tableSuffix;
  return {CompressedImageSizes(result.dataFile, side, 0).after, SumOfSizes(result.outcome.written)};
}

std::string UncompressJson(const RestoreReport& result, const ImageSizes& sizes,
                           const std::string& error, const std::vector<std::string>& log) {
  std::string out;
  JsonWriter json(out);
  json.BeginObject();
  json.Field("dataFile", result.dataFile);
  json.Field("output", result.output);
  json.Field("compressionMode", static_cast<uint32_t>(result.mode));
  json.Field("blocks", result.blocks);
  json.Field("damagedBlocks", result.damagedBlocks);
  json.Field("stopped", result.outcome.stopped);
  json.Field("dumpListed", result.dumpListed);
  json.Field("completeDump", result.completeDump);
  json.Key("written");
  json.BeginArray();
  for (const std::string& file : result.outcome.written) json.String(file);
  json.EndArray();
  AddSizeFields(json, sizes.before, sizes.after);
  AddLogField(json, log);
  AddWarningsField(json, log);
  json.Field("error", error);
  json.EndObject();
  return out;
}

InputOutcome UncompressOne(const std::string& dataFile, bool force, bool jsonMode,
                           const RestoreRequest& options) {
  CliReporter reporter(jsonMode, force);
  RestoreReport result;
  // A path the window's path box could not hold is refused rather than cut.
  if (!FitsImagePath(dataFile)) {
    result.dataFile = dataFile;
    result.outcome.Fail(FailureText("open", dataFile, ENAMETOOLONG));
  } else {
    RestoreRequest request = options;
    request.dataFile = dataFile;
    result = RestoreImage(request, reporter);
  }
  const Outcome& outcome = result.outcome;
  reporter.EraseProgress();
  InputOutcome input;
  input.status = ExitStatusOf(outcome);
  input.error = outcome.error;
  if (result.declined) {
    // Asked for by leaving out --force: said as today, not as an error, but still status 1.
    reporter.DropError(outcome.error);
    input.status = EXIT_FAILED;
    input.error = result.output + " exists and was left as it is; --force replaces it" +
                  (result.replaceDetail.empty() ? std::string() : ". " + result.replaceDetail);
    Emit(stderr, "quarnel: " + input.error + "\n");
  } else {
    reporter.EndRun(FinalLine(outcome));
  }
  const ImageSizes sizes = SizesOf(result);
  if (jsonMode) input.document = UncompressJson(result, sizes, input.error, reporter.LogLines());
  if (outcome.Done() && !result.declined) {
    input.result = std::to_string(result.blocks) + " blocks";
    input.sizeBefore = sizes.before;
    input.sizeAfter = sizes.after;
  }
  return input;
}

// The restored image's name, and the files a run of `dataFile` reads.
PlannedInput PlanOutput(const std::string& dataFile, const std::string& outputDir) {
  PlannedInput planned;
  planned.given = dataFile;
  const std::optional<CompressionMode> mode = CompressionModeOfName(dataFile);
  std::error_code error;
  if (!mode || !FitsImagePath(dataFile) || !std::filesystem::is_regular_file(dataFile, error)) {
    return planned;  // it fails on its own
  }
  planned.known = true;
  planned.disc = dataFile;
  planned.reads = {dataFile, dataFile + KindOf(*mode).tableSuffix};
  planned.stem = InFolder(outputDir, RestoredName(dataFile, *mode));
  planned.writes = {planned.stem};
  planned.shown = planned.stem;
  return planned;
}

}  // namespace

int RunUncompress(const std::vector<std::string>& args) {
  bool force = false, jsonMode = false;
  RestoreRequest request;
  std::optional<std::string> outputDir;
  std::vector<Option> options = {
      {"--force", &force}, {"--data-track-only", &request.dataTrackOnly}, {"--json", &jsonMode}};
  AddOutputDirOption(options, outputDir);
  std::vector<std::string> dataFiles;
  const int parsed = ParseOrExit(args, options, {"DATAFILE..."}, dataFiles);
  if (parsed >= 0) return parsed;
  if (outputDir && outputDir->empty()) {
    PrintUsageError("--output-dir takes a folder");
    return EXIT_USAGE;
  }
  if (outputDir) {
    const std::string why = MakeOutputDir(*outputDir);
    if (!why.empty()) return FailBeforeInputs(why, jsonMode);
  }
  std::vector<PlannedInput> planned;
  for (const std::string& dataFile : dataFiles) {
    planned.push_back(PlanOutput(dataFile, outputDir.value_or("")));
  }
  request.outputDir = outputDir.value_or("");
  return RunBatch(PlanBatch(planned, jsonMode), jsonMode, [&](const std::string& dataFile) {
    return UncompressOne(dataFile, force, jsonMode, request);
  });
}

}  // namespace quarnel::cli
