#include "cli/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quarnel::cli {

namespace {

enum class Parse { Ok, Help, Error };

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

}  // namespace

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

void PrintUsageError(const std::string& message) {
  std::fprintf(stderr, "quarnel: %s\n\n%s", message.c_str(), USAGE);
}

void PrintError(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "quarnel: %s\n", message.c_str());
}

void PrintFailure(const char* what, const std::string& path, int error) {
  PrintError(std::string("cannot ") + what + " " + path + ": " + std::strerror(error));
}

void AddAnalysisOptions(std::vector<Option>& options, AnalysisOptions& values) {
  options.push_back({"--ff8", &values.ff8});
  options.push_back({"--enhanced-movie", &values.enhancedMovie});
  options.push_back({"--enhanced-xa", &values.enhancedXa});
}

AnalysisResult RunAnalysis(AppState& state, CliWindow& window, const std::string& image,
                           const AnalysisOptions& options) {
  if (image.size() >= IMAGE_PATH_SIZE) {
    AnalysisResult refused;
    refused.openError = ENAMETOOLONG;
    return refused;
  }
  window.SetChecked(IDC_FF8, options.ff8);
  window.SetChecked(IDC_ENHANCED_MOVIE, options.enhancedMovie);
  window.SetChecked(IDC_ENHANCED_XA, options.enhancedXa);
  window.SetControlText(IDC_PATH, image);

  InstallInterruptHandler();
  const AnalysisResult result = AnalyseIso(state, window);
  window.EraseProgress();
  return result;
}

void AddLogField(JsonWriter& json, const std::vector<std::string>& log) {
  json.Key("log");
  json.BeginArray();
  for (const std::string& line : log) json.String(line);
  json.EndArray();
}

void PrintDocument(const std::string& document) {
  std::fwrite(document.data(), 1, document.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace quarnel::cli
