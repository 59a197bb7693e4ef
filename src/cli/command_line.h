// What the subcommands of the quarnel program share: exit statuses, the option parser, the
// analysis run that "analyse" and "process" both start with, and the messages on stderr.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/analyse_iso.h"
#include "cli/cli_window.h"
#include "cli/json.h"
#include "common/app_state.h"

namespace quarnel::cli {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_INTERRUPTED = 130;

// The program's help text, kept with the command table in main.cpp.
extern const char USAGE[];

// The subcommands, one file each. Each takes the arguments after its name and returns the exit
// status.
int RunAnalyse(const std::vector<std::string>& args);
int RunSample(const std::vector<std::string>& args);
int RunProcess(const std::vector<std::string>& args);
int RunUncompress(const std::vector<std::string>& args);

// One option of a subcommand: a flag (`flag` set) or an option taking a value (`value` set; it
// stays empty when the option is not given, so that an empty value can be told from none).
struct Option {
  const char* name;
  bool* flag = nullptr;
  std::optional<std::string>* value = nullptr;
};

// Splits `args` into the options of `options` and exactly `positionalNames.size()` positional
// arguments. Returns -1 to go on, or the exit status when the command ends here (after --help, or
// after a usage error has been printed). "--" ends the options, so a file name may begin with '-'.
int ParseOrExit(const std::vector<std::string>& args, const std::vector<Option>& options,
                const std::vector<const char*>& positionalNames,
                std::vector<std::string>& positional);

// "quarnel: MESSAGE", a blank line and the usage text, on stderr.
void PrintUsageError(const std::string& message);

// "quarnel: MESSAGE" on stderr, after whatever stdout holds.
void PrintError(const std::string& message);

// "quarnel: cannot WHAT PATH: REASON" on stderr.
void PrintFailure(const char* what, const std::string& path, int error);

// The options of the analysis.
struct AnalysisOptions {
  bool ff8 = false;
  bool enhancedMovie = false;
  bool enhancedXa = false;
};
void AddAnalysisOptions(std::vector<Option>& options, AnalysisOptions& values);

// Puts `image` in the path box and runs "Analyse ISO" with Ctrl-C as Stop. A path longer than the
// path box holds is refused rather than cut, as the cut one could name another file: the result
// then says not opened, with ENAMETOOLONG.
AnalysisResult RunAnalysis(AppState& state, CliWindow& window, const std::string& image,
                           const AnalysisOptions& options);

// The records of the media table are contiguous from index 0; the first empty one ends them.
template <typename Visit>
void ForEachMedium(const AppState& state, Visit visit) {
  for (uint32_t i = 0; i < MEDIA_TABLE_SIZE && state.MediaTable[i].kind != MEDIA_NONE; ++i) {
    visit(i, state.MediaTable[i]);
  }
}

// Adds the "log" array of a JSON document.
void AddLogField(JsonWriter& json, const std::vector<std::string>& log);

// Writes a finished JSON document and a newline to stdout.
void PrintDocument(const std::string& document);

}  // namespace quarnel::cli
