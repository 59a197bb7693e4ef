// What the subcommands of the quarnel program share: exit statuses, the option parser, the
// analysis run that "analyse" and "process" both start with, and the messages on stderr.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/analyse_disc.h"
#include "cli/batch_plan.h"
#include "cli/cli_reporter.h"
#include "cli/console.h"
#include "cli/json.h"
#include "packing/verify_image.h"

namespace quarnel::cli {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_INTERRUPTED = 130;

// The command line of the program: `quarnel COMMAND ...`, `quarnel --help`, `quarnel --version`.
// Returns the exit status. (Without arguments the program opens the window instead.)
int RunCommandLine(int argc, char** argv);

// The help page of one command (help.cpp). The page is the synopsis, then `text`, `moreOptions`
// and `jsonOption`, then the options every command has.
struct CommandHelp {
  const char* name;
  const char* synopsis;
  const char* summary;  // one line of the overview
  const char* text;
  const char* moreOptions;
  const char* jsonOption;
};
const CommandHelp* FindHelp(std::string_view command);
void PrintCommandHelp(const CommandHelp& help, std::FILE* out);
// `quarnel --help`: the usage and one line for each of `commands`.
void PrintOverview(const std::vector<std::string_view>& commands, std::FILE* out);

// Of `candidates`, the one closest to `word` by edit distance when it is close enough to be a
// slip of the fingers; empty otherwise.
std::string ClosestMatch(std::string_view word, const std::vector<std::string_view>& candidates);

// The subcommands, one file each. Each takes the arguments after its name and returns the exit
// status.
int RunAnalyse(const std::vector<std::string>& args);
int RunSample(const std::vector<std::string>& args);
int RunProcess(const std::vector<std::string>& args);
int RunUncompress(const std::vector<std::string>& args);
int RunVerify(const std::vector<std::string>& args);
int RunInfo(const std::vector<std::string>& args);

// One option of a subcommand: a flag (`flag` set) or an option taking a value (`value` set; it
// stays empty when the option is not given, so that an empty value can be told from none).
struct Option {
  const char* name;
  bool* flag = nullptr;
  std::optional<std::string>* value = nullptr;
};

// Splits `args` into the options of `options` and exactly `positionalNames.size()` positional
// arguments; a last name ending in "..." takes one or more. Returns -1 to go on, or the exit
// status when the command ends here (after --help, or after a usage error has been printed). "--"
// ends the options, so a file name may begin with '-'. Every command also takes --quiet.
int ParseOrExit(const std::vector<std::string>& args, const std::vector<Option>& options,
                const std::vector<const char*>& positionalNames,
                std::vector<std::string>& positional);

// "quarnel: MESSAGE" and where to find the running command's help, on stderr.
void PrintUsageError(const std::string& message);

// The command being run (set by RunCommandLine), for its help and its usage errors.
void SetCurrentCommand(std::string_view name);

// --output-dir DIR: where a command writes its outputs instead of beside its input.
void AddOutputDirOption(std::vector<Option>& options, std::optional<std::string>& dir);
// Makes DIR (and its parents) unless it is a folder already. Returns why it cannot, or empty.
std::string MakeOutputDir(const std::string& dir);
// A failure before any input is run (an output folder, a DAT, a source image): its "ERROR" line
// and, in JSON mode, the document {"error": why}. Returns the exit status, 1.
int FailBeforeInputs(const std::string& why, bool jsonMode);
// The size of the file at `path`, or 0 when there is none.
uint64_t FileBytes(const std::string& path);

// "cannot WHAT PATH: REASON".
std::string FailureText(const char* what, const std::string& path, int error);

// --ff8, --enhanced-movie and --enhanced-xa.
void AddAnalysisOptions(std::vector<Option>& options, AnalysisOptions& values);

// Runs "Analyse ISO" of `image` with Ctrl-C as Stop. A path longer than the window's path box
// holds is refused rather than cut, as the cut one could name another file: the result then says
// not opened, with ENAMETOOLONG.
AnalysisResult RunAnalysis(CliReporter& reporter, const std::string& image,
                           AnalysisOptions options);

// Why an analysis that did not reach the end of the data track failed, without "ERROR: " (a
// refusal's line is in the log already); empty when it was stopped.
std::string AnalysisFailure(const AnalysisResult& result, const std::string& image);

// Adds the "log" array of a JSON document.
void AddLogField(JsonWriter& json, const std::vector<std::string>& log);
// The bytes of every file named, those that exist.
uint64_t SumOfSizes(const std::vector<std::string>& paths);
// A compressed image's sizes (see common/sizes.h): before, the dump's track files as the list
// beside the image gives them, else the restored image; after, the data file, its side file and the
// list, FLACs and cue sheet kept beside them.
struct ImageSizes {
  uint64_t before = 0, after = 0;
};
ImageSizes CompressedImageSizes(const std::string& dataFile, const std::string& sideFile,
                                uint64_t restoredSize);
// Adds the "warnings" array: the log's "Warning: " lines.
void AddWarningsField(JsonWriter& json, const std::vector<std::string>& log);
// Adds "sizeBefore" and "sizeAfter" in bytes (see common/sizes.h), and the data track's own
// "dataTrackBefore" and "dataTrackAfter" where they are known.
void AddSizeFields(JsonWriter& json, uint64_t before, uint64_t after, uint64_t dataBefore = 0,
                   uint64_t dataAfter = 0);

// The fields of one section entry: the sectors it covers and where its file's copy lies.
void AddSectionEntryFields(JsonWriter& json, const SectionEntryInfo& entry);

// Adds the "problems" array of `verify` and `info`: where, what, and the limit broken.
void AddProblemsField(JsonWriter& json, const ImageLayout& layout);

// Writes a finished JSON document and a newline to stdout; a document that did not arrive fails
// the run (CloseOutputs).
void PrintDocument(const std::string& document);

// What one input of a command came to, for the summary of a run over several inputs.
struct InputOutcome {
  int status = EXIT_DONE;   // this input's exit status
  std::string result;       // a few words: "3 media", "written", ...
  std::string error;        // why it failed (already printed), for the JSON of a failure
  uint64_t sizeBefore = 0;  // bytes; 0 when it does not apply
  uint64_t sizeAfter = 0;
  bool skipped = false;  // done, but passed over (its outputs existed): status "skipped"
  std::string note;  // what a player must know of a run that went well: "2 audio tracks not kept"
  std::string document;  // its JSON document, in JSON mode
};

// Runs `each` on every input in turn that is not refused; a failed input does not stop the
// others, Ctrl-C or a closed output does. In JSON mode prints the one document of a single input,
// or an array of them (a failure without a document gets {"input", "error"}). With several
// inputs, or with --quiet, then prints a summary table on stdout. Returns 130 when stopped, 1 when
// any input failed, else 0.
int RunBatch(const std::vector<BatchInput>& inputs, bool jsonMode,
             const std::function<InputOutcome(const std::string& input)>& each);

}  // namespace quarnel::cli
