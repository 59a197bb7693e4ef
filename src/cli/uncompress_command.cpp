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

}  // namespace

int RunUncompress(const std::vector<std::string>& args) {
  bool force = false, jsonMode = false;
  std::vector<std::string> positional;
  const int parsed =
      ParseOrExit(args, {{"--force", &force}, {"--json", &jsonMode}}, {"DATAFILE"}, positional);
  if (parsed >= 0) return parsed;
  const std::string& dataFile = positional[0];

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
    result = UncompressIso(*state, window);
    result.outcome.stopped = result.stopped;
  }
  const Outcome& outcome = result.outcome;
  window.EraseProgress();
  window.AppendPanelLine(FinalLine(outcome).c_str(), IDC_INFO_LOG);

  if (jsonMode) {
    PrintDocument(UncompressJson(*state, result, window.LogLines()));
  } else if (outcome.Done()) {
    std::printf("Wrote %s (%u blocks)\n", result.output.c_str(), result.blocks);
    std::fflush(stdout);
  }
  if (result.refused) {
    PrintError(result.output + " exists and was left as it is; --force replaces it" +
               (result.replaceDetail.empty() ? std::string() : ". " + result.replaceDetail));
  } else if (outcome.Failed()) {
    PrintError(outcome.error);
  }
  return ExitStatusOf(outcome);
}

}  // namespace quarnel::cli
