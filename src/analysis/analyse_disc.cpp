#include "analysis/analyse_disc.h"

#include "analysis/disc_input.h"
#include "analysis/sector_scan.h"
#include "common/image_file.h"
#include "common/sector.h"

namespace quarnel {

namespace {

// The last sector before track 2 that carries a subheader lies within this many sectors of it.
constexpr uint32_t MAX_DATA_TRACK_GAP = 151;

// The data track ends at the last sector before track 2 that carries a subheader (both submode
// bytes set), when there is one within reach; otherwise where the cue sheet ends track 1.
void FindDataTrackEnd(DiscAnalysis& analysis, ImageFile& image) {
  AudioTrackTable& tracks = analysis.AudioTracks;
  const uint32_t trackTwo = tracks.track[2].firstSector;
  uint32_t end = tracks.track[1].lastSector;
  uint8_t sector[SECTOR_SIZE];
  for (uint32_t k = trackTwo - 1; trackTwo - k < MAX_DATA_TRACK_GAP; --k) {
    if (!image.ReadSectorAt(k, sector)) break;
    if (sector[SUBMODE_OFFSET] != 0 && sector[SUBMODE_COPY_OFFSET] != 0) {
      end = k;
      break;
    }
    if (k == 0) break;
  }
  analysis.dataTrackEnd = end;
  tracks.track[1].lastSector = end;
}

// The sectors, the audio tracks of the cue sheet and the end of the data track, logged.
void ReadTracks(DiscAnalysis& analysis, const DiscInput& input, ImageFile& image,
                Reporter& reporter) {
  const uint64_t sectors = image.Size() / SECTOR_SIZE;
  analysis.sectorCount = sectors > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sectors);
  analysis.dataTrackEnd = analysis.sectorCount - 1;
  reporter.LogF("- %d sectors found", analysis.sectorCount);
  for (const std::string& warning : input.warnings) reporter.Log(warning);

  std::string shortfall;
  FillDiscTracks(
      input, image, analysis.AudioTracks,
      [&](uint32_t track, uint32_t first) {
        reporter.LogF("- Audio track %02d found at sector %d", track, first);
      },
      &shortfall);
  if (!shortfall.empty()) reporter.Log(shortfall);
  if (analysis.HasAudioTracks()) FindDataTrackEnd(analysis, image);
}

// The closing lines: what was found, and what went wrong on the way.
void LogFindings(const DiscAnalysis& analysis, const ScanResult& scan, Reporter& reporter) {
  reporter.LogF("%d Video found and %d XA Records found within XA streams", scan.videoCount,
                analysis.XaRecordTotal);
  if (scan.videoLeftOpen) {
    reporter.Log("ERROR DETECTED: Try to select 'Enhanced Movie Detection' and push analyse.");
  }
  if (scan.tableFull) reporter.Log("ERROR: TOO much Media Found, try Enhanced options.");
  if (analysis.XaRecordTotal >= XA_RECORD_TABLE_SIZE) {
    reporter.Log("ERROR: TOO much XA records Found, try Enhanced options.");
  }
}

}  // namespace

AnalysisResult AnalyseDisc(const AnalysisOptions& options, Reporter& reporter) {
  AnalysisResult result;
  ImageFile image;
  DiscInput input;
  if (!OpenDiscInput(options.ImagePath, input, image)) {
    if (input.refusal.empty()) {
      result.openError = input.openError;
    } else {
      result.refused = true;
      result.message = input.refusal;
      reporter.Log("ERROR: " + input.refusal + ".");
    }
    return result;
  }
  auto analysis = NewDiscAnalysis();
  analysis->ImagePath = options.ImagePath;
  analysis->dataTrackFile = input.dataTrackFile;
  analysis->cueSheet = input.cueSheet;
  analysis->files = input.files;
  reporter.Log("- File Loaded.");
  ReadTracks(*analysis, input, image, reporter);
  image.Rewind();

  reporter.Pump();
  analysis->Ff8SearchMethod = options.ff8;
  SectorScan scan(*analysis, image, options.enhancedMovie, options.enhancedXa);
  const ScanResult found = scan.Run(reporter);
  result.stopped = found.stopped;
  result.tableFull = found.tableFull;
  analysis->videoCount = found.videoCount;
  if (image.ReadFailed()) {
    result.readError = true;
    result.readErrno = image.ReadErrno();
  }
  image.Close();
  LogFindings(*analysis, found, reporter);
  result.analysis = std::move(analysis);
  return result;
}

}  // namespace quarnel
