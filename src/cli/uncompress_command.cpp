// quarnel uncompress: "Uncompress ISO" of a compressed image.

#include <cerrno>
#include <cstdio>

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
  json.Field("stopped", result.stopped);
  AddLogField(json, log);
  json.EndObject();
  return out;
}

// Prints why the run failed; false when it did not.
bool ReportUncompressFailure(const UncompressResult& result) {
  if (result.refused) {
    PrintError(result.output + " exists and was left as it is; --force replaces it");
  } else if (!result.failedFile.empty()) {
    // Before the run, the inputs are opened and the output created; during it, they are read and
    // written.
    PrintFailure(result.failedAction, result.failedFile,
                 result.fileError != 0 ? result.fileError : EIO);
  } else if (result.damaged) {
    PrintError(result.dataFile + " or its block table is damaged: " + result.output +
               " is incomplete");
  } else if (result.damagedBlocks != 0) {
    PrintError(std::to_string(result.damagedBlocks) + " damaged blocks of " + result.dataFile +
               " were restored as zeros in " + result.output);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int RunUncompress(const std::vector<std::string>& args) {
  bool force = false, jsonMode = false;
  std::vector<std::string> positional;
  const int parsed =
      ParseOrExit(args, {{"--force", &force}, {"--json", &jsonMode}}, {"DATAFILE"}, positional);
  if (parsed >= 0) return parsed;
  const std::string& dataFile = positional[0];

  // The path box holds at most IMAGE_PATH_SIZE - 1 characters; a cut path could name another file.
  if (dataFile.size() >= IMAGE_PATH_SIZE) {
    PrintFailure("open", dataFile, ENAMETOOLONG);
    return EXIT_FAILED;
  }

  const auto state = MakeAppState();
  CliWindow window(*state, jsonMode, force);
  window.SetControlText(IDC_PATH, dataFile);
  InstallInterruptHandler();
  const UncompressResult result = UncompressIso(*state, window);
  window.EraseProgress();

  // The inputs were opened once the output's name is known: from then on there is a document.
  const bool inputsOpened = !result.output.empty();
  if (jsonMode && inputsOpened) {
    PrintDocument(UncompressJson(*state, result, window.LogLines()));
  } else if (!jsonMode && result.started) {
    std::printf("Wrote %s (%u blocks)\n", result.output.c_str(), result.blocks);
    std::fflush(stdout);
  }

  if (ReportUncompressFailure(result)) return EXIT_FAILED;
  return result.stopped ? EXIT_INTERRUPTED : EXIT_DONE;
}

}  // namespace quarnel::cli
