// The quarnel program: the usage text and the table of subcommands; each lives in its own file.

#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "shell/shell.h"

namespace quarnel::cli {

extern const char USAGE[] =
    R"(usage: quarnel              open the window
       quarnel COMMAND [ARGS...]

Commands:
  analyse IMAGE [--ff8] [--enhanced-movie] [--enhanced-xa] [--json]
      Scan a raw CD image (2352-byte sectors, with its .cue sheet beside it
      when it has audio tracks) for video streams, XA audio streams and CD-DA
      tracks, and list what was found.
        --ff8             FF8 search method for video streams
        --enhanced-movie  enhanced movie detection
        --enhanced-xa     enhanced XA detection
        --json            print one JSON document on stdout, the log on stderr
  process IMAGE [--maximum|--normal] [--rip all|video|xa|none|I,J,...]
          [--ten-percent I,J,...] [--smallest-source] [--xa-mp3] [--audio-mp3]
          [--work-folder DIR] [--ff8] [--enhanced-movie] [--enhanced-xa] [--json]
      Analyse IMAGE, then write the compressed image IMAGE.bz (--maximum),
      IMAGE.Z (--normal, the default) or IMAGE.ZNX (when XA streams are
      ripped) with its block table, ripping the marked media.
        --rip WHAT          mark media to rip: all, video, xa, none, or the
                            indexes that analyse lists
        --ten-percent I,..  ripped video streams that keep their first tenth
        --smallest-source   fill ripped videos from the shortest marked medium
                            instead of the placeholder movie
        --xa-mp3            rip every XA stream, for its sound as MP3
        --audio-mp3         rip the audio tracks to MP3
        --work-folder DIR   keep the WAV, raw and MP3 files in DIR (made when
                            missing) instead of a private temporary folder
  uncompress DATAFILE [--force] [--json]
      Restore the raw image from DATAFILE (.bz, .Z or .ZNX) and its block
      table, into DATAFILE's name without its extension.
        --force             replace that file when it exists
  sample DIR
      Write a small synthetic disc to DIR/sample.bin and DIR/sample.cue.

Options:
  -h, --help  show this help

Exit status: 0 done, 1 a file could not be opened, read, created or written,
or a compressed image is damaged, 2 usage error, 130 stopped by Ctrl-C (the
first Ctrl-C stops the run, a second one quits).
)";

namespace {

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>& args);
};

constexpr Command COMMANDS[] = {
    {"analyse", RunAnalyse},
    {"process", RunProcess},
    {"uncompress", RunUncompress},
    {"sample", RunSample},
};

int Main(int argc, char** argv) {
  if (argc < 2) return RunWindow(argc, argv);
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
}  // namespace quarnel::cli

int main(int argc, char** argv) {
  return quarnel::cli::Main(argc, argv);
}
