// quarnel info: what a compressed image holds, from its side file and section headers alone.

#include <cstdio>

#include "cli/command_line.h"
#include "common/sizes.h"
#include "packing/verify_image.h"

namespace quarnel::cli {

namespace {

// The number of the first entry: XA records count from 0, audio tracks from track 2.
uint32_t FirstNumber(const SectionInfo& s) {
  return s.xa ? 0 : 2;
}

std::string InfoJson(const ImageLayout& layout, const ImageSizes& sizes,
                     const std::string& dataFile, const std::string& error) {
  std::string out;
  JsonWriter json(out);
  json.BeginObject();
  json.Field("dataFile", dataFile);
  json.Field("sideFile", layout.sideFile);
  json.Field("compressionMode", static_cast<uint32_t>(layout.mode));
  json.Field("repaired", layout.repairLine);
  json.Field("sectors", static_cast<int64_t>(RestoredSectors(layout)));
  json.Field("blocks", layout.blocks);
  json.Field("dataSize", static_cast<int64_t>(layout.dataSize));
  json.Field("sideSize", static_cast<int64_t>(layout.sideSize));
  json.Field("restoredSize", static_cast<int64_t>(layout.restoredSize));
  json.Field("xaTaggedBlocks", layout.xaTaggedBlocks);
  AddSizeFields(json, sizes.before, sizes.after);
  json.Key("sections");
  json.BeginArray();
  for (const SectionInfo& s : layout.sections) {
    json.BeginObject();
    json.Field("kind", s.xa ? "xa" : "audio");
    json.Field("offset", static_cast<int64_t>(s.at));
    json.Key("entries");
    json.BeginArray();
    for (size_t i = 0; i < s.entries.size(); ++i) {
      const SectionEntryInfo& e = s.entries[i];
      json.BeginObject();
      json.Field(s.xa ? "record" : "track", static_cast<int64_t>(i + FirstNumber(s)));
      AddSectionEntryFields(json, e);
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
  json.Field("largestBlock", layout.largestBlock);
  json.Field("sideFileWithinLimit", layout.SideFileWithinLimit());
  json.Field("blocksWithinLimit", layout.BlocksWithinLimit());
  AddProblemsField(json, layout);
  // The emulator's limits the image exceeds are what a player must be warned of: it restores here.
  std::vector<std::string> warnings;
  for (const ImageProblem& p : layout.problems) {
    if (p.limit) warnings.push_back("Warning: " + p.Text());
  }
  AddWarningsField(json, warnings);
  json.Field("error", error);
  json.EndObject();
  return out;
}

void PrintInfo(const ImageLayout& layout, const ImageSizes& sizes) {
  std::string text;
  if (!layout.repairLine.empty()) text += "- " + layout.repairLine + "\n";
  text += Format("Compression:        %s\n", KindOf(layout.mode).description);
  text += Format("Sectors:            %llu in %u blocks\n",
                 static_cast<unsigned long long>(RestoredSectors(layout)), layout.blocks);
  text +=
      Format("Data file:          %llu bytes\n", static_cast<unsigned long long>(layout.dataSize));
  text +=
      Format("Side file:          %llu bytes\n", static_cast<unsigned long long>(layout.sideSize));
  text += Format("Restored image:     %llu bytes\n",
                 static_cast<unsigned long long>(layout.restoredSize));
  text += Format("Size:               %s MB before, %s MB after: %d%% smaller\n",
                 MegabytesText(sizes.before).c_str(), MegabytesText(sizes.after).c_str(),
                 PercentSmaller(sizes.before, sizes.after));
  if (KindOf(layout.mode).xaTags) {
    text += Format("Ripped XA blocks:   %u\n", layout.xaTaggedBlocks);
  }
  for (const SectionInfo& s : layout.sections) {
    text += Format("%s: %zu entries at offset %llu\n", s.xa ? "XA section" : "Audio track section",
                   s.entries.size(), static_cast<unsigned long long>(s.at));
    for (size_t i = 0; i < s.entries.size(); ++i) {
      const SectionEntryInfo& e = s.entries[i];
      text += Format("  %s %zu: sectors %u-%u, %u bytes\n", s.xa ? "XA record" : "audio track",
                     i + FirstNumber(s), e.firstSector, e.lastSector, e.size);
    }
  }
  text += Format(
      "Emulator limits:    side file %llu of %llu bytes: %s; largest block %u of %u "
      "bytes: %s\n",
      static_cast<unsigned long long>(layout.sideSize),
      static_cast<unsigned long long>(EMULATOR_SIDE_FILE_LIMIT),
      layout.SideFileWithinLimit() ? "ok" : "OVER", layout.largestBlock,
      EMULATOR_STORED_BLOCK_LIMIT, layout.BlocksWithinLimit() ? "ok" : "OVER");
  Emit(stdout, text);
}

// Each damage on its "ERROR" line, where a user looks; the first is the input's failure, which
// names the file and comes last.
std::string ReportDamage(const ImageLayout& layout, const std::string& dataFile) {
  std::string first;
  for (const ImageProblem& p : layout.problems) {
    if (p.limit) continue;
    if (first.empty()) {
      first = p.Text();
    } else {
      EmitErrorLine(p.Text());
    }
  }
  if (layout.moreProblems != 0) {
    EmitErrorLine(std::to_string(layout.moreProblems) + " more problems");
  }
  return dataFile + " is damaged" + (first.empty() ? "" : ": " + first);
}

InputOutcome InfoOne(const std::string& dataFile, bool jsonMode) {
  InputOutcome outcome;
  const ImageLayout layout = InspectImage(dataFile);
  const ImageSizes sizes =
      layout.opened ? CompressedImageSizes(dataFile, layout.sideFile, layout.restoredSize)
                    : ImageSizes{};
  outcome.sizeBefore = sizes.before;
  outcome.sizeAfter = sizes.after;
  outcome.result = !layout.opened ? "not read" : std::to_string(layout.blocks) + " blocks";
  if (layout.opened && !jsonMode && !QuietMode()) PrintInfo(layout, sizes);
  if (!layout.opened) {
    outcome.error = layout.error;
  } else if (layout.Damaged()) {
    outcome.error = ReportDamage(layout, dataFile);
  }
  if (!outcome.error.empty()) {
    outcome.status = EXIT_FAILED;
    EmitErrorLine(outcome.error);
  }
  if (jsonMode) outcome.document = InfoJson(layout, sizes, dataFile, outcome.error);
  return outcome;
}

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
  bool jsonMode = false;
  std::vector<std::string> dataFiles;
  const int parsed = ParseOrExit(args, {{"--json", &jsonMode}}, {"DATAFILE..."}, dataFiles);
  if (parsed >= 0) return parsed;
  return RunBatch(AsBatch(dataFiles), jsonMode,
                  [&](const std::string& dataFile) { return InfoOne(dataFile, jsonMode); });
}

}  // namespace quarnel::cli
