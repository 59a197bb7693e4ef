// quarnel process: "Analyse ISO", the marks set by the rules a user meets in the window, then
// "Process ISO" with the options of the command line.

#include <cstdio>
#include <optional>
#include <string_view>
#include <tuple>

#include "analysis/disc_input.h"
#include "analysis/media_marks.h"
#include "cli/command_line.h"
#include "common/image_file.h"
#include "common/image_path.h"
#include "common/outcome.h"
#include "common/sizes.h"
#include "packing/compressed_format.h"
#include "packing/dump_check.h"
#include "packing/process_disc.h"
#include "packing/verify_image.h"

namespace quarnel::cli {

namespace {

// Parses "I,J,..." (decimal media indexes); false for anything else.
bool ParseIndexList(const std::string& text, std::vector<uint32_t>& indexes) {
  size_t pos = 0;
  while (true) {
    uint64_t value = 0;
    const size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
      if (value > UINT32_MAX) return false;
      ++pos;
    }
    if (pos == start) return false;
    indexes.push_back(static_cast<uint32_t>(value));
    if (pos == text.size()) return true;
    if (text[pos++] != ',') return false;
  }
}

// What --rip asks for: one of the selection buttons, or the "Rip:" boxes of some media.
struct RipMarks {
  std::optional<MediaSelection> selection;
  std::vector<uint32_t> indexes;
};

bool ParseRip(const std::string& text, RipMarks& marks) {
  if (text == "all") {
    marks.selection = MediaSelection::All;
  } else if (text == "video") {
    marks.selection = MediaSelection::Video;
  } else if (text == "xa") {
    marks.selection = MediaSelection::Xa;
  } else if (text == "none") {
    marks.selection = MediaSelection::None;
  } else {
    return ParseIndexList(text, marks.indexes);
  }
  return true;
}

// Sets the marks; prints why (a usage error) and returns false when the rules refuse one.
bool ApplyMarks(DiscAnalysis& analysis, const RipMarks& rip,
                const std::vector<uint32_t>& tenPercent, const std::string& image) {
  const uint32_t count = analysis.MediaCount();
  const auto noMedium = [&](const char* option, uint32_t index) {
    PrintUsageError(std::string(option) + ": " + image + " has no medium " + std::to_string(index) +
                    " (the analysis found " + std::to_string(count) + ", numbered from 0)");
    return false;
  };
  if (rip.selection) SelectMedia(analysis, *rip.selection);
  for (const uint32_t index : rip.indexes) {
    if (index >= count || !SetRipMark(analysis, index, true)) return noMedium("--rip", index);
  }
  for (const uint32_t index : tenPercent) {
    if (index >= count) return noMedium("--ten-percent", index);
    if (!SetTenPercentMark(analysis, index, true)) {
      const bool video = analysis.MediaTable[index].kind == MEDIA_VIDEO;
      PrintUsageError("--ten-percent: medium " + std::to_string(index) +
                      (video ? " is not marked by --rip" : " is not a video stream") +
                      "; only a ripped video stream keeps its first tenth");
      return false;
    }
  }
  return true;
}

std::string ProcessJson(const ProcessReport& result, const Outcome& outcome,
                        const std::string& image, const std::vector<std::string>& log) {
  const bool stopped = outcome.stopped;
  std::string out;
  JsonWriter json(out);
  json.BeginObject();
  json.Field("image", image);
  json.Field("dataFile", result.dataFile);
  json.Field("blockTable", result.blockTable);
  json.Field("compressionMode", static_cast<uint32_t>(result.mode));
  json.Field("blocks", result.blocks);
  json.Field("rippedCount", result.rippedCount);
  json.Field("stopped", stopped);
  json.Field("restoredSha1", result.restoredSha1);
  json.Field("skipped", result.skipped);
  AddSizeFields(json, result.sizeBefore, result.sizeAfter, result.dataTrackBefore,
                result.dataTrackAfter);
  json.Field("audioTracksNotKept", result.audioTracksNotKept);
  json.Field("audioBytesNotKept", static_cast<int64_t>(result.audioBytesNotKept));
  json.Key("losslessFiles");
  json.BeginArray();
  for (const std::string& file : result.losslessFiles) json.String(file);
  json.EndArray();
  for (const auto& [name, entries] : {std::pair{"xaSection", &result.xaSection},
                                      std::pair{"audioSection", &result.audioSection}}) {
    json.Key(name);
    json.BeginArray();
    for (const SectionEntryInfo& e : *entries) {
      json.BeginObject();
      AddSectionEntryFields(json, e);
      json.Field("file", e.file);
      json.EndObject();
    }
    json.EndArray();
  }
  AddLogField(json, log);
  AddWarningsField(json, log);
  json.Field("error", outcome.error);
  json.EndObject();
  return out;
}

// One line per entry of an appended section: what it covers and which file it holds.
void PrintSection(const char* title, const char* item, uint32_t firstNumber,
                  const std::vector<SectionEntryInfo>& entries) {
  if (entries.empty()) return;
  std::string text = Format("%s: %zu entries\n", title, entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const SectionEntryInfo& e = entries[i];
    text +=
        Format("  %s %zu: sectors %u-%u, %u bytes at offset %u from %s\n", item, i + firstNumber,
               e.firstSector, e.lastSector, e.size, e.offset, BareName(e.file).c_str());
  }
  Emit(stdout, text);
}

// What the command line asks of every image.
struct ProcessRequest {
  AnalysisOptions analysis;
  RipMarks rip;
  std::vector<uint32_t> tenPercent;
  bool jsonMode = false;
  bool force = false;
  ProcessOptions options;
  const DatFile* dat = nullptr;
  std::string datName;
};

// With --dat the source is checked before it is packed: a dump that does not match is said, not
// refused. Returns the summary's note, empty when it matches.
std::string CheckSourceAgainstDat(const std::string& image, const ProcessRequest& request,
                                  CliReporter& reporter) {
  if (request.dat == nullptr) return {};
  const RawDumpReport report = CheckRawDump(image, request.dat, request.datName, reporter);
  if (report.Passed() || report.stopped) return {};
  reporter.Log("Warning: " + image + " is not a complete dump of a game of " + request.datName +
               "; it is compressed as it is.");
  return "source not in the DAT";
}

// With --dat the written image is checked too: its restored data track against the DAT.
std::string CheckWrittenAgainstDat(const ProcessReport& result, const ProcessRequest& request,
                                   CliReporter& reporter) {
  if (request.dat == nullptr || !result.outcome.Done() || result.skipped) return {};
  VerifyOptions options;
  options.dat = request.dat;
  options.datName = request.datName;
  const VerifyReport report = VerifyImage(reporter, result.dataFile, options);
  return report.Passed() || report.stopped ? "" : "image not in the DAT";
}

InputOutcome ProcessOne(const std::string& image, const ProcessRequest& request) {
  const bool jsonMode = request.jsonMode;
  CliReporter reporter(jsonMode, request.force);
  std::vector<std::string> notes;
  const AnalysisResult analysed = RunAnalysis(reporter, image, request.analysis);
  ProcessReport result;
  Outcome outcome;
  InputOutcome input;
  const std::string failure = AnalysisFailure(analysed, image);
  if (!failure.empty()) {
    outcome.Fail(failure);
  } else if (analysed.stopped) {
    outcome.stopped = true;
    outcome.stopDetail = "during the analysis";
  } else {
    if (!ApplyMarks(*analysed.analysis, request.rip, request.tenPercent, image)) {
      input.status = EXIT_USAGE;
      input.error = "the marks do not fit " + image;
      return input;
    }
    const std::string source = CheckSourceAgainstDat(image, request, reporter);
    if (!source.empty()) notes.push_back(source);
    result = ProcessDisc(*analysed.analysis, request.options, reporter);
    outcome = result.outcome;
    const std::string written = CheckWrittenAgainstDat(result, request, reporter);
    if (!written.empty()) notes.push_back(written);
  }
  reporter.EraseProgress();
  reporter.EndRun(FinalLine(outcome));

  if (jsonMode) {
    input.document = ProcessJson(result, outcome, image, reporter.LogLines());
  } else if (outcome.Done() && !QuietMode()) {
    // The log's last line has said what was written; the sections are listed beside it.
    PrintSection("XA stream section", "XA record", 0, result.xaSection);
    PrintSection("Audio track section", "audio track", 2, result.audioSection);
  }
  input.status = ExitStatusOf(outcome);
  input.error = outcome.error;
  input.skipped = result.skipped;
  if (result.audioTracksNotKept != 0) {
    notes.insert(notes.begin(), std::to_string(result.audioTracksNotKept) + " audio track" +
                                    (result.audioTracksNotKept == 1 ? "" : "s") + " not kept");
  }
  // Where the disc holds more than its data track, the data track's own ratio beside the disc's.
  if (result.dataTrackBefore != 0 && result.dataTrackAfter != 0 &&
      result.dataTrackBefore != result.sizeBefore) {
    notes.push_back(Format("data track %.1f%%", 100.0 * static_cast<double>(result.dataTrackAfter) /
                                                    static_cast<double>(result.dataTrackBefore)));
  }
  for (const std::string& note : notes) input.note += (input.note.empty() ? "" : ", ") + note;
  if (outcome.Done() && !result.skipped) {
    input.result = std::to_string(result.blocks) + " blocks";
    input.sizeBefore = result.sizeBefore;
    input.sizeAfter = result.sizeAfter;
  }
  return input;
}

// Whether a run may rip an XA stream, which forces the XA kind: only the analysis tells.
bool MayRipXa(const ProcessRequest& request) {
  const std::optional<MediaSelection>& selection = request.rip.selection;
  return request.options.xaMp3 || !request.rip.indexes.empty() ||
         selection == MediaSelection::All || selection == MediaSelection::Xa;
}

// The names a run of `image` may write, from its files alone: the data track file's name with
// the kind's extension, in the output folder when there is one.
PlannedInput PlanOutputs(const std::string& image, const ProcessRequest& request) {
  PlannedInput planned;
  planned.given = image;
  DiscInput disc;
  ImageFile file;
  if (!OpenDiscInput(image, disc, file)) return planned;
  planned.known = true;
  planned.disc = disc.dataTrackFile;
  planned.reads = disc.files;
  planned.stem = InFolder(request.options.outputDir, disc.dataTrackFile);
  std::vector<CompressionMode> modes = {request.options.compression == CompressionChoice::Maximum
                                            ? CompressionMode::Bzip2
                                            : CompressionMode::Zlib};
  if (MayRipXa(request)) modes.push_back(CompressionMode::ZlibXa);
  for (const CompressionMode mode : modes) {
    const std::string name = planned.stem + KindOf(mode).extension;
    planned.writes.push_back(name);
    planned.writes.push_back(name + KindOf(mode).tableSuffix);
    planned.shown += (planned.shown.empty() ? "" : " or ") + name;
  }
  return planned;
}

}  // namespace

int RunProcess(const std::vector<std::string>& args) {
  ProcessRequest request;
  bool normal = false, verify = false;
  std::optional<std::string> ripText, tenPercentText, workFolder, outputDir;
  bool maximum = false, audioMp3 = false, noAudioMp3 = false, skipExisting = false;
  std::optional<std::string> datPath;
  ProcessOptions& process = request.options;
  std::vector<Option> options = {{"--maximum", &maximum},
                                 {"--normal", &normal},
                                 {"--rip", nullptr, &ripText},
                                 {"--ten-percent", nullptr, &tenPercentText},
                                 {"--smallest-source", &process.smallestSource},
                                 {"--xa-mp3", &process.xaMp3},
                                 {"--audio-mp3", &audioMp3},
                                 {"--no-audio-mp3", &noAudioMp3},
                                 {"--flac", &process.keepLossless},
                                 {"--force", &request.force},
                                 {"--skip-existing", &skipExisting},
                                 {"--dat", nullptr, &datPath},
                                 {"--verify", &verify},
                                 {"--work-folder", nullptr, &workFolder},
                                 {"--json", &request.jsonMode}};
  AddAnalysisOptions(options, request.analysis);
  AddOutputDirOption(options, outputDir);
  std::vector<std::string> images;
  const int parsed = ParseOrExit(args, options, {"IMAGE..."}, images);
  if (parsed >= 0) return parsed;

  for (const auto& [a, b, both] : {std::tuple{"--maximum", "--normal", maximum && normal},
                                   {"--audio-mp3", "--no-audio-mp3", audioMp3 && noAudioMp3},
                                   {"--force", "--skip-existing", request.force && skipExisting}}) {
    if (!both) continue;
    PrintUsageError(std::string(a) + " and " + b + " exclude each other");
    return EXIT_USAGE;
  }
  if (ripText && !ParseRip(*ripText, request.rip)) {
    PrintUsageError("--rip takes all, video, xa, none or media indexes such as 0,2: " + *ripText);
    return EXIT_USAGE;
  }
  if (tenPercentText && !ParseIndexList(*tenPercentText, request.tenPercent)) {
    PrintUsageError("--ten-percent takes media indexes such as 0,1: " + *tenPercentText);
    return EXIT_USAGE;
  }
  process.compression = maximum ? CompressionChoice::Maximum : CompressionChoice::Normal;
  // As the window does after an analysis that found them: audio tracks are kept as MP3.
  process.audioMp3 = !noAudioMp3;
  process.existing = skipExisting ? ExistingOutputs::Skip : ExistingOutputs::Ask;
  process.names.keepAudio =
      noAudioMp3 ? "leave out --no-audio-mp3 to keep them as MP3, or add --flac to keep them "
                   "lossless beside the image"
                 : "--xa-mp3 turns them off; --flac keeps them lossless beside the image";
  process.names.dropAudio = "pass --no-audio-mp3";
  process.names.replace = "--force replaces it, --skip-existing passes over it";
  DatFile dat;
  if (datPath) {
    std::string error;
    if (!dat.Load(*datPath, error)) return FailBeforeInputs(error, request.jsonMode);
    request.dat = &dat;
    request.datName = *datPath;
  }
  request.options.workFolder = workFolder.value_or("");
  request.options.verify = verify;
  if (outputDir && outputDir->empty()) {
    PrintUsageError("--output-dir takes a folder");
    return EXIT_USAGE;
  }
  if (outputDir) {
    const std::string why = MakeOutputDir(*outputDir);
    if (!why.empty()) return FailBeforeInputs(why, request.jsonMode);
  }
  request.options.outputDir = outputDir.value_or("");
  images = ExpandFolders(images, request.jsonMode);
  if (images.empty()) return FailBeforeInputs("no disc was found", request.jsonMode);
  std::vector<PlannedInput> planned;
  for (const std::string& image : images) planned.push_back(PlanOutputs(image, request));
  return RunBatch(PlanBatch(planned, request.jsonMode), request.jsonMode,
                  [&](const std::string& image) { return ProcessOne(image, request); });
}

}  // namespace quarnel::cli
