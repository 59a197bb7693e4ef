// The help texts of the command line: the overview of `quarnel --help` and one page per command
// for `quarnel COMMAND --help`, written for players rather than for the format's authors.

#include <cstring>

#include "cli/command_line.h"

namespace quarnel::cli {

namespace {

constexpr const char ANALYSIS_OPTIONS[] =
    R"(  --ff8             look for videos the way Final Fantasy VIII stores them; use
                    it for that game only: XA audio is not looked for at all
  --enhanced-movie  end a video where its frame numbers stop running on; try it
                    when the plain scan reports an error or finds videos
                    that run into each other
  --enhanced-xa     also split XA streams at silence; try it when the scan finds
                    too many XA records or one stream spans several songs
)";

constexpr const char COMMON_OPTIONS[] =
    R"(  --quiet           no progress, no log and no warning: only the ERROR lines
                    and the summary
  -h, --help        show this help
)";

const CommandHelp HELP[] = {
    {"analyse",
     "analyse IMAGE... [--ff8] [--enhanced-movie] [--enhanced-xa]\n"
     "          [--json]",
     "list the videos, XA streams and CD audio tracks of a disc image",
     R"(Scans a raw CD image (.bin with 2352-byte sectors; keep its .cue sheet beside it
when the disc has audio tracks) and lists what it found, one numbered row per
video and XA stream: these numbers are what 'process --rip' takes. Nothing is
written. Several images are analysed in turn, then summed up in a table.

Options:
)",
     ANALYSIS_OPTIONS,
     R"(  --json            one JSON document on stdout (an array of them for several
                    images); the log goes to stderr
)"},
    {"process",
     "process IMAGE... [--maximum|--normal] [--rip WHAT]\n"
     "          [--ten-percent I,...] [--smallest-source] [--xa-mp3]\n"
     "          [--audio-mp3] [--work-folder DIR] [--verify] [--ff8] [--enhanced-movie]\n"
     "          [--enhanced-xa] [--output-dir DIR] [--json]",
     "write a compressed image, smaller still when media are ripped",
     R"(Analyses IMAGE, then writes the compressed image beside it: IMAGE.Z (normal),
IMAGE.bz (maximum) or IMAGE.ZNX (when XA streams are ripped), with its block
table. The source image is never changed. IMAGE may be a .cue sheet, also one
with a file per track: the outputs are named after the data track's file
(Game (Track 1).bin.Z), and restoring them gives back exactly that file.
Several images are processed in turn, then summed up in a table.

Ripping makes the image much smaller but changes the game: a ripped video
shows a stand-in movie or nothing (--ten-percent keeps its first tenth), and
a ripped XA stream (speech, music) is silent in the game unless its sound is
kept as MP3 with --xa-mp3. CD audio tracks are not part of the
compressed image: they are kept only as MP3 with --audio-mp3 and are otherwise
lost. MP3 needs the LAME encoder (Debian package lame).

Options:
  --normal          zlib compression (the default): faster to write and to play
  --maximum         bzip2 compression: smaller, slower
  --rip WHAT        what to rip: all, video, xa, none, or the
                    row numbers that 'analyse' lists, such as 0,2,5
  --ten-percent I,...
                    ripped videos that keep their first tenth
  --smallest-source fill ripped videos from the shortest marked one instead of
                    the stand-in movie
  --xa-mp3          rip every XA stream and keep its sound as MP3
  --audio-mp3       keep the CD audio tracks as MP3
  --work-folder DIR keep the sound's work files (WAV, raw, MP3) in DIR, made when
                    missing; without it they go to a private temporary folder
                    that is removed after the run
  --verify          read the written image back before it gets its name and
                    fail unless every block restores what was compressed; the
                    log ends with the SHA-1 of the restored image
  --output-dir DIR  write the outputs into DIR (made when missing) instead of
                    beside each image
)",
     ANALYSIS_OPTIONS,
     R"(  --json            one JSON document on stdout (an array of them for several
                    images); the log goes to stderr
)"},
    {"uncompress", "uncompress DATAFILE... [--force] [--output-dir DIR] [--json]",
     "restore the raw disc image from a compressed image",
     R"(Restores the raw image from DATAFILE (.Z, .bz or .ZNX) and its block table,
into DATAFILE's name without its extension. Ripped videos and XA streams stay
as they were ripped: the restored image is not the original disc. Several
compressed images are restored in turn, then summed up in a table.

Options:
  --force           replace that file when it exists
  --output-dir DIR  write the restored images into DIR (made when missing)
  --json            one JSON document on stdout (an array of them for several
                    images); the log goes to stderr
)",
     "", ""},
    {"verify", "verify DATAFILE... [--source IMAGE] [--dat FILE] [--json]",
     "check that a compressed image restores whole, and which dump it is",
     R"(Restores each compressed image in memory, writing nothing, and checks it: the
block table, every block, the MP3 sections behind the blocks and the limits of
the emulator's reader (a block table of at most 4 MiB, stored blocks of at most
37732 bytes). Prints every fault with the block or section it concerns, then
the CRC32, MD5 and SHA-1 of the restored image: the very bytes 'uncompress'
writes. The exit status is 0 only when everything holds.

Options:
  --source IMAGE    also compare the restored sectors with the original raw
                    image and list the sectors that differ; differences inside
                    a video or XA stream are what ripping changed, others fail
  --dat FILE        look the restored image up in a DAT file (the XML lists of
                    known good dumps that preservation groups publish) by size
                    and SHA-1 and name the entry, or fail with "no entry"; for
                    a set of one file per track it is the data track's file
  --json            one JSON document on stdout (an array of them for several
                    images); the log goes to stderr
)",
     "", ""},
    {"info", "info DATAFILE... [--json]", "show what a compressed image holds",
     R"(Prints, for each compressed image, its compression, sectors and blocks, the
sizes of its data file, block table and restored image, the blocks holding
ripped XA audio, the XA and audio track sections with their entries, and
whether the emulator's reader limits hold. Reads the block table and the
section headers only: fast, but 'verify' is what checks every block.

Options:
  --json            one JSON document on stdout (an array of them for several
                    images)
)",
     "", ""},
    {"sample", "sample DIR", "write a small synthetic disc to try the other commands on",
     R"(Writes DIR/sample.bin and DIR/sample.cue: a small made-up disc with two
videos, an XA stream and two CD audio tracks.

Options:
)",
     "", ""},
};

}  // namespace

const CommandHelp* FindHelp(std::string_view command) {
  for (const CommandHelp& help : HELP) {
    if (command == help.name) return &help;
  }
  return nullptr;
}

void PrintCommandHelp(const CommandHelp& help, std::FILE* out) {
  EmitF(out, "usage: quarnel %s\n\n%s%s%s%s", help.synopsis, help.text, help.moreOptions,
        help.jsonOption, COMMON_OPTIONS);
  Emit(out,
       "\nExit status: 0 done, 1 failed (for several inputs: any of them; so does output\n"
       "that could not be written), 2 usage error, 130 stopped by Ctrl-C or a closed\n"
       "output (the first Ctrl-C stops the run, a second one quits).\n");
}

void PrintOverview(const std::vector<std::string_view>& commands, std::FILE* out) {
  Emit(out,
       "usage: quarnel              open the window\n"
       "       quarnel COMMAND [ARGS...]\n"
       "       quarnel COMMAND --help\n"
       "\n"
       "Keeps PlayStation discs (raw .bin/.cue images) as compressed images and restores\n"
       "them.\n\nCommands:\n");
  for (const std::string_view command : commands) {
    const CommandHelp* help = FindHelp(command);
    if (help != nullptr) EmitF(out, "  %-11s %s\n", help->name, help->summary);
  }
  Emit(out,
       "\nOptions:\n"
       "  -h, --help   show this help\n"
       "  --version    show the version\n"
       "\nRun 'quarnel COMMAND --help' for what a command does and its options.\n");
}

}  // namespace quarnel::cli
