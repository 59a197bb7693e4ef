#include "cli/command_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/image_path.h"
#include "packing/dump_files.h"
#include "packing/dump_list.h"

namespace quarnel::cli {

namespace {

// The command being run, named in its usage errors; "" before one is chosen.
std::string currentCommand;

enum class Parse { Ok, Help, Error };

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool Variadic(const char* name) {
  const size_t length = std::strlen(name);
  return length > 3 && std::strcmp(name + length - 3, "...") == 0;
}

Parse ParseArgs(const std::vector<std::string>& args, const std::vector<Option>& commandOptions,
                const std::vector<const char*>& positionalNames,
                std::vector<std::string>& positional) {
  // Every command's options and those they all share.
  bool quiet = false;
  std::vector<Option> options = commandOptions;
  options.push_back({"--quiet", &quiet});
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
    if (option == nullptr) {
      std::vector<std::string_view> names = {"--help"};
      for (const Option& candidate : options) names.push_back(candidate.name);
      const std::string closest = ClosestMatch(name, names);
      PrintUsageError("unknown option " + arg +
                      (closest.empty() ? "" : "; did you mean " + closest + "?"));
      return Parse::Error;
    }
    if (option->flag != nullptr && equals != std::string::npos) {
      PrintUsageError("option " + name + " takes no value");
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
  SetQuietMode(quiet);
  if (positional.size() < positionalNames.size()) {
    std::string missing = positionalNames[positional.size()];
    if (Variadic(missing.c_str())) missing.resize(missing.size() - 3);
    PrintUsageError("missing " + missing);
    return Parse::Error;
  }
  const bool variadic = !positionalNames.empty() && Variadic(positionalNames.back());
  if (positional.size() > positionalNames.size() && !variadic) {
    PrintUsageError("unexpected argument " + positional[positionalNames.size()]);
    return Parse::Error;
  }
  return Parse::Ok;
}

}  // namespace

int ParseOrExit(const std::vector<std::string>& args, const std::vector<Option>& options,
                const std::vector<const char*>& positionalNames,
                std::vector<std::string>& positional) {
  switch (ParseArgs(args, options, positionalNames, positional)) {
    case Parse::Ok:
      return -1;
    case Parse::Help:
      if (const CommandHelp* help = FindHelp(currentCommand)) PrintCommandHelp(*help, stdout);
      return EXIT_DONE;
    case Parse::Error:
      break;
  }
  return EXIT_USAGE;
}

std::string ClosestMatch(std::string_view word, const std::vector<std::string_view>& candidates) {
  std::string_view best;
  size_t bestDistance = SIZE_MAX;
  for (const std::string_view candidate : candidates) {
    const size_t distance = EditDistance(word, candidate);
    if (distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  // Two slips, or a third of a longer word: beyond that a suggestion is a guess.
  const size_t allowed = std::max<size_t>(2, word.size() / 3);
  return bestDistance <= allowed ? std::string(best) : std::string();
}

void SetCurrentCommand(std::string_view name) {
  currentCommand = name;
}

void PrintUsageError(const std::string& message) {
  const std::string where = currentCommand.empty() ? "" : currentCommand + " ";
  Emit(stderr, "quarnel: " + message + "\nsee 'quarnel " + where + "--help'\n");
}

void AddOutputDirOption(std::vector<Option>& options, std::optional<std::string>& dir) {
  options.push_back({"--output-dir", nullptr, &dir});
}

std::string MakeOutputDir(const std::string& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (!error && std::filesystem::is_directory(dir, error)) return {};
  return "cannot make the output folder " + dir + ": " +
         (error ? error.message() : std::string(std::strerror(ENOTDIR)));
}

int FailBeforeInputs(const std::string& why, bool jsonMode) {
  EmitErrorLine(why);
  if (jsonMode) {
    std::string document;
    JsonWriter json(document);
    json.BeginObject();
    json.Field("error", why);
    json.EndObject();
    PrintDocument(document);
  }
  return EXIT_FAILED;
}

uint64_t FileBytes(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string FailureText(const char* what, const std::string& path, int error) {
  return std::string("cannot ") + what + " " + path + ": " + ErrnoText(error);
}

void AddAnalysisOptions(std::vector<Option>& options, AnalysisOptions& values) {
  options.push_back({"--ff8", &values.ff8});
  options.push_back({"--enhanced-movie", &values.enhancedMovie});
  options.push_back({"--enhanced-xa", &values.enhancedXa});
}

AnalysisResult RunAnalysis(CliReporter& reporter, const std::string& image,
                           AnalysisOptions options) {
  if (!FitsImagePath(image)) {
    AnalysisResult refused;
    refused.openError = ENAMETOOLONG;
    return refused;
  }
  options.ImagePath = image;
  // The speed is of the disc's bytes: a cue sheet stands for its track files.
  std::vector<std::string> files;
  std::string why;
  if (DumpFilesOf(image, &files, &why)) reporter.SetWorkBytes(SumOfSizes(files));
  AnalysisResult result = AnalyseDisc(options, reporter);
  reporter.EraseProgress();
  return result;
}

std::string AnalysisFailure(const AnalysisResult& result, const std::string& image) {
  if (result.refused) return result.message;
  if (!result.Opened()) return FailureText("open", image, result.openError);
  if (result.readError) {
    // Which of a set's files failed is not told: the set is named then.
    const std::vector<std::string>& files = result.analysis->files;
    return FailureText("read", files.size() == 1 ? files[0] : "the files of " + image,
                       result.readErrno);
  }
  return {};
}

void AddLogField(JsonWriter& json, const std::vector<std::string>& log) {
  json.Key("log");
  json.BeginArray();
  for (const std::string& line : log) json.String(line);
  json.EndArray();
}

void PrintDocument(const std::string& document) {
  Emit(stdout, document + "\n");
}

}  // namespace quarnel::cli

namespace quarnel::cli {

namespace {

std::string SizeText(uint64_t bytes) {
  if (bytes == 0) return "-";
  char text[32];
  if (bytes < 1000000) {
    std::snprintf(text, sizeof text, "%.1f kB", static_cast<double>(bytes) / 1e3);
  } else if (bytes < 1000000000) {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / 1e9);
  }
  return text;
}

std::string TimeText(double seconds) {
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%.1fs", seconds);
  } else {
    const auto whole = static_cast<unsigned long long>(seconds + 0.5);
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  }
  return text;
}

struct SummaryRow {
  std::string input;
  InputOutcome outcome;
  double seconds = 0;
  const char* status = "skipped";
  std::string Status() const {
    return outcome.note.empty() || std::strcmp(status, "ok") != 0 ? status : "ok, " + outcome.note;
  }
};

void PrintSummary(const std::vector<SummaryRow>& rows) {
  size_t inputWidth = 5, resultWidth = 6;
  for (const SummaryRow& row : rows) {
    inputWidth = std::max(inputWidth, row.input.size());
    resultWidth = std::max(resultWidth, row.outcome.result.size());
  }
  const int iw = static_cast<int>(inputWidth), rw = static_cast<int>(resultWidth);
  std::string table = Format("\n%-*s  %-*s  %10s  %10s  %6s  %7s  %s\n", iw, "INPUT", rw, "RESULT",
                             "BEFORE", "AFTER", "RATIO", "TIME", "STATUS");
  for (const SummaryRow& row : rows) {
    const InputOutcome& o = row.outcome;
    const std::string ratio = o.sizeBefore == 0 || o.sizeAfter == 0
                                  ? "-"
                                  : Format("%.1f%%", 100.0 * static_cast<double>(o.sizeAfter) /
                                                         static_cast<double>(o.sizeBefore));
    const bool ran = std::strcmp(row.status, "skipped") != 0;
    table += Format("%-*s  %-*s  %10s  %10s  %6s  %7s  %s\n", iw, row.input.c_str(), rw,
                    o.result.empty() ? "-" : o.result.c_str(), SizeText(o.sizeBefore).c_str(),
                    SizeText(o.sizeAfter).c_str(), ratio.c_str(),
                    ran ? TimeText(row.seconds).c_str() : "-", row.Status().c_str());
  }
  Emit(stdout, table);
}

// {"input", "error"}: the document of an input that failed without one of its own.
std::string FailureDocument(const SummaryRow& row) {
  std::string document;
  JsonWriter json(document);
  json.BeginObject();
  json.Field("input", row.input);
  json.Field("error", row.outcome.error.empty() ? std::string(row.status) : row.outcome.error);
  json.EndObject();
  return document;
}

// Runs one input of a batch (or takes its refusal) and fills its row; `announce` (a separator)
// puts its name above its log.
void RunOne(const BatchInput& input, const char* announce,
            const std::function<InputOutcome(const std::string& input)>& each, SummaryRow& row) {
  row.input = input.input;
  if (!input.refusal.empty()) {
    row.outcome.status = EXIT_FAILED;
    row.outcome.error = input.refusal;
    row.outcome.result = "refused";
    row.status = "FAILED";
    return;
  }
  if (announce != nullptr) Emit(stdout, announce + row.input + "\n");
  const auto start = std::chrono::steady_clock::now();
  row.outcome = each(row.input);
  row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (row.outcome.status == EXIT_INTERRUPTED || StopAsked()) {
    row.status = "stopped";
  } else {
    row.status = row.outcome.status != EXIT_DONE ? "FAILED"
                 : row.outcome.skipped           ? "skipped"
                                                 : "ok";
  }
}

void PrintDocuments(const std::vector<std::string>& documents, bool several) {
  if (several) {
    std::string array = "[";
    for (size_t i = 0; i < documents.size(); ++i) {
      if (i > 0) array += ",\n";
      array += documents[i];
    }
    PrintDocument(array + "]");
  } else if (!documents.empty()) {
    PrintDocument(documents.front());
  }
}

}  // namespace

int RunBatch(const std::vector<BatchInput>& inputs, bool jsonMode,
             const std::function<InputOutcome(const std::string& input)>& each) {
  const bool several = inputs.size() > 1;
  std::vector<SummaryRow> rows(inputs.size());
  std::vector<std::string> documents;
  bool failed = false, stopped = false, announced = false;
  for (size_t i = 0; i < inputs.size(); ++i) {
    SummaryRow& row = rows[i];
    row.input = inputs[i].input;
    if (stopped) continue;
    // Each input's log under its name, when the log is shown.
    const char* announce = nullptr;
    if (several && !jsonMode && !QuietMode()) announce = announced ? "\n== " : "== ";
    RunOne(inputs[i], announce, each, row);
    announced |= announce != nullptr && inputs[i].refusal.empty();
    stopped = std::strcmp(row.status, "stopped") == 0;
    failed |= std::strcmp(row.status, "FAILED") == 0;
    if (!jsonMode) continue;
    if (!row.outcome.document.empty()) {
      documents.push_back(std::move(row.outcome.document));
    } else if (several || (row.outcome.status == EXIT_FAILED && !row.outcome.error.empty())) {
      // A usage error found late has no document of its own.
      documents.push_back(FailureDocument(row));
    }
  }
  if (jsonMode) {
    PrintDocuments(documents, several);
  } else if (several || QuietMode()) {
    PrintSummary(rows);
  }
  // One input keeps its own status (a usage error found late stays 2).
  if (inputs.size() == 1) return rows[0].outcome.status;
  if (stopped) return EXIT_INTERRUPTED;
  return failed ? EXIT_FAILED : EXIT_DONE;
}

uint64_t SumOfSizes(const std::vector<std::string>& paths) {
  uint64_t total = 0;
  for (const std::string& path : paths) total += FileBytes(path);
  return total;
}

ImageSizes CompressedImageSizes(const std::string& dataFile, const std::string& sideFile,
                                uint64_t restoredSize) {
  ImageSizes sizes{restoredSize, 0};
  std::vector<std::string> files = {dataFile, sideFile};
  DumpList list;
  bool listed = false;
  std::string why;
  if (ReadDumpList(dataFile + DUMP_LIST_SUFFIX, &list, &listed, &why) && listed) {
    const std::string folder = FolderOf(dataFile);
    files.push_back(dataFile + DUMP_LIST_SUFFIX);
    for (const std::string& flac : list.flacs) files.push_back(folder + flac);
    if (!list.cueSheet.empty()) files.push_back(folder + list.cueSheet);
    sizes.before = 0;
    for (const HeldFile& f : list.files) sizes.before += f.name == list.cueSheet ? 0 : f.size;
  }
  sizes.after = SumOfSizes(files);
  return sizes;
}

void AddWarningsField(JsonWriter& json, const std::vector<std::string>& log) {
  json.Key("warnings");
  json.BeginArray();
  for (const std::string& line : log) {
    if (line.rfind("Warning: ", 0) == 0) json.String(line.substr(9));
  }
  json.EndArray();
}

void AddSizeFields(JsonWriter& json, uint64_t before, uint64_t after, uint64_t dataBefore,
                   uint64_t dataAfter) {
  json.Field("sizeBefore", static_cast<int64_t>(before));
  json.Field("sizeAfter", static_cast<int64_t>(after));
  if (dataBefore == 0) return;
  json.Field("dataTrackBefore", static_cast<int64_t>(dataBefore));
  json.Field("dataTrackAfter", static_cast<int64_t>(dataAfter));
}

void AddSectionEntryFields(JsonWriter& json, const SectionEntryInfo& entry) {
  json.Field("firstSector", entry.firstSector);
  json.Field("lastSector", entry.lastSector);
  json.Field("offset", entry.offset);
  json.Field("size", entry.size);
}

void AddProblemsField(JsonWriter& json, const ImageLayout& layout) {
  json.Key("problems");
  json.BeginArray();
  for (const ImageProblem& p : layout.problems) {
    json.BeginObject();
    json.Field("where", p.where);
    json.Field("what", p.what);
    json.Field("limit", p.limit);
    json.EndObject();
  }
  json.EndArray();
}

}  // namespace quarnel::cli
