// The table of commands and the dispatch to them; each command lives in its own file.

#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "common/interrupts.h"

namespace quarnel::cli {

namespace {

constexpr const char VERSION[] = "3.2";

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>& args);
};

constexpr Command COMMANDS[] = {
    {"analyse", RunAnalyse}, {"process", RunProcess}, {"uncompress", RunUncompress},
    {"verify", RunVerify},   {"info", RunInfo},       {"sample", RunSample},
};

std::vector<std::string_view> CommandNames();

// Other spellings a user may type for a command.
constexpr struct {
  const char* alias;
  const char* name;
} ALIASES[] = {
    {"analyze", "analyse"},    {"compress", "process"},      {"create", "process"},
    {"extract", "uncompress"}, {"decompress", "uncompress"}, {"check", "verify"},
};

// `quarnel help [COMMAND]`: the overview, or a command's page.
int RunHelp(const std::vector<std::string>& args) {
  if (args.empty()) {
    PrintOverview(CommandNames(), stdout);
    return EXIT_DONE;
  }
  std::string name = args[0];
  for (const auto& alias : ALIASES) {
    if (name == alias.alias) name = alias.name;
  }
  if (const CommandHelp* help = FindHelp(name); help != nullptr && args.size() == 1) {
    PrintCommandHelp(*help, stdout);
    return EXIT_DONE;
  }
  const std::string closest = ClosestMatch(name, CommandNames());
  PrintUsageError(args.size() > 1 ? "help takes one command"
                                  : "unknown command " + name +
                                        (closest.empty() ? "" : "; did you mean " + closest + "?"));
  return EXIT_USAGE;
}

std::vector<std::string_view> CommandNames() {
  std::vector<std::string_view> names;
  for (const Command& command : COMMANDS) names.push_back(command.name);
  return names;
}

int RunCommand(int argc, char** argv) {
  std::string name = argc > 1 ? argv[1] : "--help";
  if (name == "-h" || name == "--help") {
    PrintOverview(CommandNames(), stdout);
    return EXIT_DONE;
  }
  if (name == "--version") {
    EmitF(stdout, "quarnel %s\n", VERSION);
    return EXIT_DONE;
  }
  for (const auto& alias : ALIASES) {
    if (name == alias.alias) name = alias.name;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (name == "help") return RunHelp(args);
  for (const Command& command : COMMANDS) {
    if (name != command.name) continue;
    SetCurrentCommand(command.name);
    return command.run(args);
  }
  std::vector<std::string_view> candidates = CommandNames();
  candidates.push_back("help");
  candidates.push_back("--help");
  candidates.push_back("--version");
  const std::string closest = ClosestMatch(name, candidates);
  PrintUsageError((name.size() > 1 && name[0] == '-' ? "unknown option " : "unknown command ") +
                  name + (closest.empty() ? "" : "; did you mean " + closest + "?"));
  return EXIT_USAGE;
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  // From here on a closed output shows as EPIPE on the write instead of killing the program.
  InstallInterruptHandlers();
  return CloseOutputs(RunCommand(argc, argv));
}

}  // namespace quarnel::cli
