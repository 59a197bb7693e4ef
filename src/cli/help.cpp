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
     "          [--ten-percent I,...] [--smallest-source] [--xa-mp3] [--no-audio-mp3]\n"
     "          [--flac] [--force|--skip-existing] [--dat FILE] [--work-folder DIR]\n"
     "          [--verify] [--ff8] [--enhanced-movie] [--enhanced-xa] [--output-dir DIR]\n"
     "          [--json]",
     "write a compressed image, smaller still when media are ripped",
     R"(Analyses IMAGE, then writes the compressed image beside it: IMAGE.Z (normal),
IMAGE.bz (maximum) or IMAGE.ZNX (when XA streams are ripped), with its block
table. The source image is never changed, and an existing compressed image is
never replaced without --force. IMAGE may be a .cue sheet, also one with a
file per track: the outputs are named after the data track's file
(Game (Track 1).bin.Z), and restoring them gives back exactly that file. It
may be a folder: every disc under it (each cue sheet, and each image no cue
sheet names) is processed once. Several discs are done in turn, then summed up
in a table: BEFORE is every byte of the disc's track files, AFTER everything
kept for it (data file, block table, and with --flac its FLACs, list and cue).

Ripping makes the image much smaller but changes the game: a ripped video
shows a stand-in movie or nothing (--ten-percent keeps its first tenth), and
a ripped XA stream (speech, music) is silent in the game unless its sound is
kept as MP3 with --xa-mp3. CD audio tracks are kept as MP3 inside the data
file, as the window does; --no-audio-mp3 leaves them out, and the summary says
so. --flac keeps them losslessly beside the image, so that 'uncompress' gives
back the whole dump. MP3 needs the LAME encoder (Debian package lame).

Options:
  --normal          zlib, one sector per block (the default): fast to write and
                    to play
  --maximum         bzip2 over 10-sector blocks, 4 to 7 times slower to write;
                    smaller on some discs (4% on the sample disc, 42% on the
                    benchmark's generated image) and larger on others, as on
                    3 of 4 real game discs tried
  --rip WHAT        what to rip: all, video, xa, none, or the
                    row numbers that 'analyse' lists, such as 0,2,5
  --ten-percent I,...
                    ripped videos that keep their first tenth
  --smallest-source fill ripped videos from the shortest marked one instead of
                    the stand-in movie
  --xa-mp3          rip every XA stream and keep its sound as MP3 (the CD audio
                    tracks are then left out)
  --no-audio-mp3    leave the CD audio tracks out of the compressed image
  --flac            keep every CD audio track lossless as FLAC beside the
                    image, with the cue sheet and a list of the dump's files:
                    'uncompress' then restores every file of the dump
  --force           replace a compressed image that exists, saying so
  --skip-existing   pass over a disc whose compressed image exists ("skipped")
  --dat FILE        check the disc against a DAT (Logiqx XML, or a zip holding
                    one) before it is packed, and the written image after
  --work-folder DIR keep the sound's work files (WAV, raw, MP3) in DIR, made when
                    missing and locked for the run; without it they go to a
                    private folder beside the outputs, removed after the run
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
    {"uncompress",
     "uncompress DATAFILE... [--force] [--data-track-only] [--output-dir DIR]\n"
     "          [--json]",
     "restore the raw disc image (or the whole dump) from a compressed image",
     R"(Restores the raw image from DATAFILE (.Z, .bz or .ZNX, any letter case) and its
block table, into DATAFILE's name without its extension. Where 'process --flac'
kept the dump's audio tracks and cue sheet beside it, every file of the dump
comes back, each checked against the dump's SHA-1: the track files (or the
whole image) and the cue sheet. Ripped videos and XA streams stay as they were
ripped: the restored image is then not the original disc, and the log says so.

Options:
  --force           replace the files that exist, saying what is lost
  --data-track-only restore only the data track's file
  --output-dir DIR  write the restored files into DIR (made when missing)
  --json            one JSON document on stdout (an array of them for several
                    images); the log goes to stderr
)",
     "", ""},
    {"verify", "verify IMAGE... [--source IMAGE] [--dat FILE] [--json]",
     "check a compressed image or a raw dump, and which game it is",
     R"(A compressed image (.Z, .bz, .ZNX) is restored in memory, writing nothing, and
checked: the block table, every block, the MP3 sections behind the blocks, the
FLACs and cue sheet kept beside it, and the limits of the emulator's reader (a
block table of at most 4 MiB, stored blocks of at most 37732 bytes). Every fault
is printed with the block, section or file it concerns, then the CRC32, MD5 and
SHA-1 of the restored image: the very bytes 'uncompress' writes. A raw dump (an
image, a track file or a cue sheet) has every file of its disc read and hashed.
The exit status is 0 only when everything holds.

Options:
  --source IMAGE    also compare the restored sectors with the original disc
                    (an image, a cue sheet or any file of a set) and list the
                    sectors that differ; differences inside a video or XA
                    stream are what ripping changed, others fail
  --dat FILE        name the game in a DAT file (the XML lists of known good
                    dumps that preservation groups publish, or a zip holding
                    one) and say for each of its files whether it matches,
                    differs or is not held; "complete" only when all match
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
videos, an XA stream and two CD audio tracks; and the same disc as one file per
track, DIR/Sample Game (Track N).bin with DIR/Sample Game.cue.

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
