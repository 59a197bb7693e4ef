// The quarnel program: one function per subcommand behind a table, sharing one option parser.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "analysis/analyse_iso.h"
#include "analysis/media_list.h"
#include "cli/cli_window.h"
#include "cli/json.h"
#include "common/app_state.h"
#include "common/disc_builder.h"

namespace quarnel {
namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_INTERRUPTED = 130;

constexpr const char USAGE[] =
    R"(usage: quarnel COMMAND [ARGS...]

Commands:
  analyse IMAGE [--ff8] [--enhanced-movie] [--enhanced-xa] [--json]
      Scan a raw CD image (2352-byte sectors, with its .cue sheet beside it
      when it has audio tracks) for video streams, XA audio streams and CD-DA
      tracks, and list what was found.
        --ff8             FF8 search method for video streams
        --enhanced-movie  enhanced movie detection
        --enhanced-xa     enhanced XA detection
        --json            print one JSON document on stdout, the log on stderr
  sample DIR
      Write a small synthetic disc to DIR/sample.bin and DIR/sample.cue.

Options:
  -h, --help  show this help

Exit status: 0 done, 1 the image could not be opened or read, 2 usage error,
130 stopped by Ctrl-C (the first Ctrl-C stops the scan, a second one quits).
)";

// One option of a subcommand: a flag (`flag` set) or an option taking a value (`value` set).
struct Option {
  const char* name;
  bool* flag = nullptr;
  std::string* value = nullptr;
};

enum class Parse { Ok, Help, Error };

void PrintUsageError(const std::string& message) {
  std::fprintf(stderr, "quarnel: %s\n\n%s", message.c_str(), USAGE);
}

// Splits `args` into the options of `options` and exactly `positionalNames.size()` positional
// arguments. "--" ends the options, so a file name may begin with '-'.
Parse ParseArgs(const std::vector<std::string>& args, const std::vector<Option>& options,
                const std::vector<const char*>& positionalNames,
                std::vector<std::string>& positional) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") return Parse::Help;
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const Option* option = nullptr;
    for (const Option& candidate : options) {
      if (name == candidate.name) option = &candidate;
    }
    if (option == nullptr || (option->flag != nullptr && equals != std::string::npos)) {
      PrintUsageError("unknown option " + arg);
      return Parse::Error;
    }
    if (option->flag != nullptr) {
      *option->flag = true;
    } else if (equals != std::string::npos) {
      *option->value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      *option->value = args[++i];
    } else {
      PrintUsageError("option " + name + " needs a value");
      return Parse::Error;
    }
  }
  if (positional.size() < positionalNames.size()) {
    PrintUsageError(std::string("missing ") + positionalNames[positional.size()]);
    return Parse::Error;
  }
  if (positional.size() > positionalNames.size()) {
    PrintUsageError("unexpected argument " + positional[positionalNames.size()]);
    return Parse::Error;
  }
  return Parse::Ok;
}

// Runs ParseArgs; returns -1 to go on, or the exit status when the command ends here.
int ParseOrExit(const std::vector<std::string>& args, const std::vector<Option>& options,
                const std::vector<const char*>& positionalNames,
                std::vector<std::string>& positional) {
  switch (ParseArgs(args, options, positionalNames, positional)) {
    case Parse::Ok:
      return -1;
    case Parse::Help:
      std::fputs(USAGE, stdout);
      return EXIT_DONE;
    case Parse::Error:
      break;
  }
  return EXIT_USAGE;
}

void PrintFailure(const char* what, const std::string& path, int error) {
  std::fflush(stdout);
  std::fprintf(stderr, "quarnel: cannot %s %s: %s\n", what, path.c_str(), std::strerror(error));
}

// The records of the media table are contiguous from index 0; the first empty one ends them.
template <typename Visit>
void ForEachMedium(const AppState& state, Visit visit) {
  for (uint32_t i = 0; i < MEDIA_TABLE_SIZE && state.MediaTable[i].kind != MEDIA_NONE; ++i) {
    visit(i, state.MediaTable[i]);
  }
}

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
  json.Key("log");
  json.BeginArray();
  for (const std::string& line : log) json.String(line);
  json.EndArray();
  json.EndObject();
  out += '\n';
  return out;
}

int RunAnalyse(const std::vector<std::string>& args) {
  bool ff8 = false, enhancedMovie = false, enhancedXa = false, jsonMode = false;
  std::vector<std::string> positional;
  const int parsed = ParseOrExit(args,
                                 {{"--ff8", &ff8},
                                  {"--enhanced-movie", &enhancedMovie},
                                  {"--enhanced-xa", &enhancedXa},
                                  {"--json", &jsonMode}},
                                 {"IMAGE"}, positional);
  if (parsed >= 0) return parsed;
  const std::string& image = positional[0];

  // The path box holds at most IMAGE_PATH_SIZE - 1 characters; a longer path would be cut and
  // could name another file.
  if (image.size() >= IMAGE_PATH_SIZE) {
    PrintFailure("open", image, ENAMETOOLONG);
    return EXIT_FAILED;
  }

  const auto state = MakeAppState();
  CliWindow window(*state, jsonMode, /*replaceFiles=*/false);
  window.SetChecked(IDC_FF8, ff8);
  window.SetChecked(IDC_ENHANCED_MOVIE, enhancedMovie);
  window.SetChecked(IDC_ENHANCED_XA, enhancedXa);
  window.SetControlText(IDC_PATH, image);

  InstallInterruptHandler();
  const AnalysisResult result = AnalyseIso(*state, window);
  window.EraseProgress();

  if (!result.opened) {
    PrintFailure("open", image, result.openError);
    return EXIT_FAILED;
  }

  if (jsonMode) {
    const std::string document = AnalysisJson(*state, result, image, window.LogLines());
    std::fwrite(document.data(), 1, document.size(), stdout);
  } else {
    ForEachMedium(*state, [](uint32_t index, const MediaRecord& record) {
      std::printf("%4u %s\n", index, MediaRowText(record).c_str());
    });
  }
  std::fflush(stdout);

  if (result.readError) {
    PrintFailure("read", image, result.readErrno != 0 ? result.readErrno : EIO);
    return EXIT_FAILED;
  }
  return result.stopped ? EXIT_INTERRUPTED : EXIT_DONE;
}

int RunSample(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  const int parsed = ParseOrExit(args, {}, {"DIR"}, positional);
  if (parsed >= 0) return parsed;
  const std::filesystem::path dir = positional[0];

  std::string error;
  if (!WriteSampleDisc(dir.string(), &error)) {
    std::fprintf(stderr, "quarnel: %s\n", error.c_str());
    return EXIT_FAILED;
  }
  const std::filesystem::path bin = dir / "sample.bin";
  const std::filesystem::path cue = dir / "sample.cue";
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(bin, ec);
  if (ec) {
    std::fprintf(stderr, "quarnel: cannot read %s: %s\n", bin.c_str(), ec.message().c_str());
    return EXIT_FAILED;
  }
  std::printf("Wrote %s (%ju sectors)\n", bin.c_str(), size / SECTOR_SIZE);
  if (std::filesystem::exists(cue, ec)) std::printf("Wrote %s\n", cue.c_str());
  return EXIT_DONE;
}

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>& args);
};

constexpr Command COMMANDS[] = {
    {"analyse", RunAnalyse},
    {"sample", RunSample},
};

int Main(int argc, char** argv) {
  if (argc < 2) {
    // The window front end will take this case; until then there is nothing to start.
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
  }
  const std::string name = argv[1];
  if (name == "-h" || name == "--help") {
    std::fputs(USAGE, stdout);
    return EXIT_DONE;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  for (const Command& command : COMMANDS) {
    if (name == command.name) return command.run(args);
  }
  PrintUsageError("unknown command " + name);
  return EXIT_USAGE;
}

}  // namespace
}  // namespace quarnel

int main(int argc, char** argv) {
  return quarnel::Main(argc, argv);
}
