// quarnel analyse: "Analyse ISO", then the media found, as text or as one JSON document.

#include <algorithm>
#include <cstdio>

#include "analysis/media_marks.h"
#include "cli/command_line.h"

namespace quarnel::cli {

namespace {

std::string AnalysisJson(const AnalysisResult& result, const std::string& image,
                         const std::string& error, const std::vector<std::string>& log) {
  const DiscAnalysis& analysis = *result.analysis;
  std::string out;
  JsonWriter json(out);
  json.BeginObject();
  json.Field("image", image);
  json.Field("sectors", analysis.sectorCount);
  json.Field("dataTrackEnd", analysis.dataTrackEnd);

  const uint32_t audioTrackCount = analysis.AudioTracks.audioTrackCount;
  json.Field("audioTrackCount", audioTrackCount);
  json.Key("audioTracks");
  json.BeginArray();
  for (uint32_t track = 2; track <= audioTrackCount + 1 && track <= MAX_TRACKS; ++track) {
    const AudioTrack& t = analysis.AudioTracks.track[track];
    json.BeginObject();
    json.Field("track", track);
    json.Field("firstSector", t.firstSector);
    json.Field("lastSector", t.lastSector);
    json.EndObject();
  }
  json.EndArray();

  json.Key("media");
  json.BeginArray();
  for (uint32_t index = 0; index < analysis.MediaCount(); ++index) {
    const MediaRecord& record = analysis.MediaTable[index];
    json.BeginObject();
    json.Field("index", index);
    json.Field("kind", record.kind == MEDIA_VIDEO ? "video" : "xa");
    json.Field("firstSector", record.firstSector);
    json.Field("lastSector", record.lastSector);
    if (record.kind == MEDIA_XA) json.Field("xaRecordCount", record.xaRecordCount);
    json.EndObject();
  }
  json.EndArray();

  // XaRecordTotal counts on past the table's end; only the stored records are listed.
  json.Field("xaRecordTotal", analysis.XaRecordTotal);
  json.Key("xaRecords");
  json.BeginArray();
  for (uint32_t i = 0; i < analysis.StoredXaRecords(); ++i) {
    const XaRecord& record = analysis.XaRecordTable[i];
    json.BeginObject();
    json.Field("index", i);
    json.Field("firstSector", record.firstSector);
    json.Field("lastSector", record.lastSector);
    json.Field("channel", static_cast<uint32_t>(record.channel & 0xFF));
    json.EndObject();
  }
  json.EndArray();

  json.Field("videoCount", analysis.videoCount);
  json.Field("stopped", result.stopped);
  AddLogField(json, log);
  json.Field("error", error);
  json.EndObject();
  return out;
}

// A failure's document: the image, why, and the log up to it.
std::string FailureJson(const std::string& image, const std::string& error,
                        const std::vector<std::string>& log) {
  std::string out;
  JsonWriter json(out);
  json.BeginObject();
  json.Field("image", image);
  json.Field("error", error);
  AddLogField(json, log);
  json.EndObject();
  return out;
}

void PrintMedia(const DiscAnalysis& found) {
  std::string rows;
  for (uint32_t index = 0; index < found.MediaCount(); ++index) {
    rows += Format("%4u %s\n", index, MediaRowText(found.MediaTable[index]).c_str());
  }
  Emit(stdout, rows);
}

InputOutcome AnalyseOne(const std::string& image, const AnalysisOptions& analysis, bool jsonMode) {
  InputOutcome outcome;
  CliReporter reporter(jsonMode, /*replaceFiles=*/false);
  const AnalysisResult result = RunAnalysis(reporter, image, analysis);
  outcome.error = AnalysisFailure(result, image);
  if (!outcome.error.empty()) {
    outcome.status = EXIT_FAILED;
    // A refusal's line is the log's; the command says any other failure.
    reporter.EndRun(ErrorLine(outcome.error));
  } else if (result.stopped) {
    outcome.status = EXIT_INTERRUPTED;
  }
  if (!result.Opened()) {
    if (jsonMode) outcome.document = FailureJson(image, outcome.error, reporter.LogLines());
    return outcome;
  }
  const DiscAnalysis& found = *result.analysis;
  outcome.sizeBefore = static_cast<uint64_t>(found.sectorCount) * SECTOR_SIZE;
  const uint32_t media = found.MediaCount();
  outcome.result = std::to_string(media) + (media == 1 ? " medium" : " media");
  if (jsonMode) {
    outcome.document = AnalysisJson(result, image, outcome.error, reporter.LogLines());
  } else if (!QuietMode()) {
    PrintMedia(found);
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
  return RunBatch(AsBatch(images), jsonMode,
                  [&](const std::string& image) { return AnalyseOne(image, analysis, jsonMode); });
}

}  // namespace quarnel::cli
