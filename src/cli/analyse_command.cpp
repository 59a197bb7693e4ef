// quarnel analyse: "Analyse ISO", then the media found, as text or as one JSON document.

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "analysis/media_list.h"
#include "cli/command_line.h"

namespace quarnel::cli {

namespace {

std::string AnalysisJson(const AppState& state, const AnalysisResult& result,
                         const std::string& image, const std::vector<std::string>& log) {
  std::string out;
  JsonWriter json(out);
  json.BeginObject();
  json.Field("image", image);
  json.Field("sectors", result.sectorCount);
  json.Field("dataTrackEnd", state.dataTrackEnd);

  const uint32_t audioTrackCount = state.AudioTracks.audioTrackCount;
  json.Field("audioTrackCount", audioTrackCount);
  json.Key("audioTracks");
  json.BeginArray();
  for (uint32_t track = 2; track <= audioTrackCount + 1 && track <= MAX_TRACKS; ++track) {
    const AudioTrack& t = state.AudioTracks.track[track];
    json.BeginObject();
    json.Field("track", track);
    json.Field("firstSector", t.firstSector);
    json.Field("lastSector", t.lastSector);
    json.EndObject();
  }
  json.EndArray();

  json.Key("media");
  json.BeginArray();
  ForEachMedium(state, [&](uint32_t index, const MediaRecord& record) {
    json.BeginObject();
    json.Field("index", index);
    json.Field("kind", record.kind == MEDIA_VIDEO ? "video" : "xa");
    json.Field("firstSector", record.firstSector);
    json.Field("lastSector", record.lastSector);
    if (record.kind == MEDIA_XA) json.Field("xaRecordCount", record.xaRecordCount);
    json.EndObject();
  });
  json.EndArray();

  // XaRecordTotal counts on past the table's end; only the stored records are listed.
  json.Field("xaRecordTotal", state.XaRecordTotal);
  json.Key("xaRecords");
  json.BeginArray();
  const uint32_t stored = std::min(state.XaRecordTotal, XA_RECORD_TABLE_SIZE);
  for (uint32_t i = 0; i < stored; ++i) {
    const XaRecord& record = state.XaRecordTable[i];
    json.BeginObject();
    json.Field("index", i);
    json.Field("firstSector", record.firstSector);
    json.Field("lastSector", record.lastSector);
    json.Field("channel", static_cast<uint32_t>(record.channel & 0xFF));
    json.EndObject();
  }
  json.EndArray();

  json.Field("videoCount", result.videoCount);
  json.Field("stopped", result.stopped);
  AddLogField(json, log);
  json.EndObject();
  return out;
}

InputOutcome AnalyseOne(const std::string& image, const AnalysisOptions& analysis, bool jsonMode) {
  InputOutcome outcome;
  const auto state = MakeAppState();
  CliWindow window(*state, jsonMode, /*replaceFiles=*/false);
  const AnalysisResult result = RunAnalysis(*state, window, image, analysis);
  if (!result.opened) {
    outcome.error = FailureText("open", image, result.openError);
    PrintError(outcome.error);
    outcome.status = EXIT_FAILED;
    return outcome;
  }
  outcome.sizeBefore = static_cast<uint64_t>(result.sectorCount) * SECTOR_SIZE;
  uint32_t media = 0;
  ForEachMedium(*state, [&](uint32_t, const MediaRecord&) { ++media; });
  outcome.result = std::to_string(media) + (media == 1 ? " medium" : " media");

  if (jsonMode) {
    outcome.document = AnalysisJson(*state, result, image, window.LogLines());
  } else if (!QuietMode()) {
    ForEachMedium(*state, [](uint32_t index, const MediaRecord& record) {
      std::printf("%4u %s\n", index, MediaRowText(record).c_str());
    });
    std::fflush(stdout);
  }

  if (result.readError) {
    outcome.error = FailureText("read", image, result.readErrno != 0 ? result.readErrno : EIO);
    PrintError(outcome.error);
    outcome.status = EXIT_FAILED;
  } else if (result.stopped) {
    outcome.status = EXIT_INTERRUPTED;
  }
  return outcome;
}

}  // namespace

int RunAnalyse(const std::vector<std::string>& args) {
  AnalysisOptions analysis;
  bool jsonMode = false;
  std::vector<Option> options = {{"--json", &jsonMode}};
  AddAnalysisOptions(options, analysis);
  std::vector<std::string> images;
  const int parsed = ParseOrExit(args, options, {"IMAGE..."}, images);
  if (parsed >= 0) return parsed;
  return RunBatch(images, jsonMode,
                  [&](const std::string& image) { return AnalyseOne(image, analysis, jsonMode); });
}

}  // namespace quarnel::cli
