// The quarnel program as a user runs it: exit statuses, messages and the JSON document.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "common/checksums.h"
#include "common/sector.h"
#include "common/sizes.h"
#include "synthetic/disc_builder.h"
#include "test_support.h"

extern char** environ;

namespace quarnel {
namespace {

using nlohmann::json;
using testing::ReadText;
using testing::TempDir;

struct Outcome {
  int status;  // exit status; -N when killed by signal N
  std::string out, err;
};

// Starts the program inside `dir` with stdout and stderr going to files there; runs at once tell
// their files apart by `tag`. `out`, when given, is the stdout instead (NO_STDOUT: none).
constexpr int NO_STDOUT = -2;
pid_t Spawn(const TempDir& dir, std::vector<std::string> args, const std::string& tag = {},
            int out = -1) {
  args.insert(args.begin(), QUARNEL_BINARY);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addchdir_np(&files, dir.Path().c_str());
  for (const int fd : {1, 2}) {
    const std::string name = dir.File("fd" + std::to_string(fd) + tag);
    posix_spawn_file_actions_addopen(&files, fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (out >= 0) posix_spawn_file_actions_adddup2(&files, out, 1);
  if (out == NO_STDOUT) posix_spawn_file_actions_addclose(&files, 1);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  return rc == 0 ? pid : -1;
}

// A run that has not ended after a minute hangs: it is killed and the test fails.
Outcome Wait(const TempDir& dir, pid_t pid, const std::string& tag = {}) {
  int s = 0, status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  pid_t ended = 0;
  while (pid > 0 && (ended = waitpid(pid, &s, WNOHANG)) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the run hangs";
      kill(pid, SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (ended == pid) status = WIFEXITED(s) ? WEXITSTATUS(s) : -WTERMSIG(s);
  return {status, ReadText(dir.File("fd1" + tag)), ReadText(dir.File("fd2" + tag))};
}

// Whether `pid` runs; a zombie no parent waits for any more counts as ended.
bool Running(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const size_t end = line.rfind(") ");
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] != 'Z';
}

// Every file and folder under `dir` but the runs' own: the small files with their bytes.
std::map<std::string, std::string> Snapshot(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path())) {
    const std::string name = entry.path().lexically_relative(dir.Path()).string();
    if (name.starts_with("fd") || name == "encoder.pids") continue;
    const bool small = entry.is_regular_file() && entry.file_size() < (1u << 20);
    files[name] = small ? ReadText(entry.path().string()) : std::to_string(entry.is_directory());
  }
  return files;
}

Outcome Quarnel(const TempDir& dir, const std::vector<std::string>& args) {
  return Wait(dir, Spawn(dir, args));
}

// The program escapes every byte that is not printable ASCII; what it prints must parse as JSON.
json Json(const std::string& text) {
  EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char c) { return uint8_t(c) <= 0x7E; }));
  return json::parse(text);
}

// `doc` with the fields of `part` written over it: still `doc` when it holds them already.
json Over(json doc, const json& part) {
  doc.merge_patch(part);
  return doc;
}

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A usage error is one line and where the help is, with the closest name when one is near;
// the help itself comes only when asked for. Every failure has one "ERROR" line on stderr that
// names its file and cause, --quiet keeps it, and with --json stdout holds a document with `error`.
// Output that is not delivered fails the run; a closed pipe stops it, never kills it.
TEST(Cli, MessagesAndExitStatuses) {
  TempDir dir;
  testing::WriteAll(dir.File("empty.bin"), {});
  testing::WriteAll(dir.File("file"), {1});
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0644), 0);
  DiscBuilder disc;
  disc.AddDataSectors(40);
  std::string error;
  ASSERT_TRUE(disc.Write(dir.File("disc.bin"), {}, &error)) << error;
  std::filesystem::copy_file(dir.File("disc.bin"), dir.File("disc2.bin"));
  enum Stdout { FILE, FULL, CLOSED_PIPE, NONE };
  const struct {
    std::vector<std::string> args;
    int status;
    const char *out, *err;  // a part of stdout and of stderr; nullptr: that one is empty
    Stdout to = FILE;
  } cases[] = {
      {{"frobnicate"}, 2, nullptr, "quarnel: unknown command frobnicate\nsee 'quarnel --help'\n"},
      {{"analyze", "a", "--jsn"}, 2, nullptr, "--jsn; did you mean --json?\nsee"},
      {{"analyse"}, 2, nullptr, "quarnel: missing IMAGE\nsee 'quarnel analyse --help'\n"},
      {{"analyse", "a.bin", "--json=yes"}, 2, nullptr, "option --json takes no value\n"},
      {{"process", "a.bin", "--rip", "0,x"}, 2, nullptr, "--rip takes"},
      {{"--version"}, 0, "quarnel 3.2\n", nullptr},
      {{"process", "-h"}, 0, "(Debian package lame)", nullptr},
      {{"analyse", "no-such.bin", "--json"},
       1,
       "\"error\":\"cannot open no-such.bin: No such file",
       "ERROR: cannot open no-such.bin: No such file or directory.\n"},
      // The path box holds 255 characters; a longer path is refused rather than cut.
      {{"analyse", std::string(300, 'x')}, 1, nullptr, "ERROR: cannot open"},
      {{"process", "--output-dir", "", "a.bin"}, 2, nullptr, "--output-dir takes a folder"},
      {{"analyse", "empty.bin", "--quiet"},
       1,
       "FAILED",
       "ERROR: empty.bin is empty: it is not a raw CD image.\n"},
      {{"verify", "a.bin.Z", "--source", "empty.bin"}, 1, nullptr, "--source: empty.bin is empty"},
      {{"verify", "a.bin.Z", "--source", "fifo", "--json"},
       1,
       "{\"error\":",
       "ERROR: --source: fifo is neither a regular file nor a block device.\n"},
      {{"process", "a.bin", "--output-dir", "file", "--json"},
       1,
       "{\"error\":",
       "ERROR: cannot make the output folder file: Not a directory.\n"},
      {{"uncompress", "game", "game.bin.Z.bak"},
       1,
       "FAILED",
       "ERROR: game.bin.Z.bak is not a compressed image: a compressed image's data file ends in "
       ".Z, .ZNX or .bz (in any letter case); nothing was written.\n"},
      {{"analyse", "disc.bin", "--json"},
       1,
       nullptr,
       "ERROR: cannot write to standard output: No space left on device.\n",
       FULL},
      {{"analyse", "disc.bin"},
       1,
       nullptr,
       "ERROR: cannot write to standard output: Bad file descriptor.\n",
       NONE},
      {{"process", "disc.bin", "disc2.bin"}, 130, nullptr, nullptr, CLOSED_PIPE},
      // The document comes at the end: the closed pipe is seen before anything is written.
      {{"process", "disc.bin", "disc2.bin", "--json"}, 130, nullptr, "Stopped ", CLOSED_PIPE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    int out = c.to == FULL ? ::open("/dev/full", O_WRONLY) : c.to == NONE ? NO_STDOUT : -1, ends[2];
    if (c.to == CLOSED_PIPE && ::pipe(ends) == 0) ::close(ends[0]), out = ends[1];
    const Outcome run = Wait(dir, Spawn(dir, c.args, {}, out));
    if (out >= 0) ::close(out);
    EXPECT_EQ(run.status, c.status);
    for (const auto& [text, part] : {std::pair{run.out, c.out}, std::pair{run.err, c.err}}) {
      EXPECT_TRUE(part ? text.find(part) != std::string::npos : text.empty()) << text;
    }
    EXPECT_TRUE(c.status != 2 || std::count(run.err.begin(), run.err.end(), '\n') == 2) << run.err;
    const size_t failures = c.status != 1 ? 0 : std::max<size_t>(1, Count(run.out, "FAILED"));
    EXPECT_EQ(Count("\n" + run.err, "\nERROR: "), failures) << run.err;
    EXPECT_EQ(run.err.find("Success"), std::string::npos) << run.err;
    if (c.status == 1 && c.to == FILE && std::count(c.args.begin(), c.args.end(), "--json") != 0) {
      EXPECT_NE(Json(run.out).value("error", ""), "") << run.out;
    }
  }
  // The stopped batch wrote nothing, not even a temporary.
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    EXPECT_FALSE(entry.path().string().starts_with(dir.File("disc.bin.")) ||
                 entry.path().string().starts_with(dir.File("disc2.bin.")))
        << entry.path();
  }
}

// Without a command the program opens its window; with no display to open it on, it says so.
TEST(Cli, WithoutACommandAndWithoutADisplayItExitsOneWithOneLine) {
  TempDir dir;
  std::vector<std::unique_ptr<testing::ScopedEnv>> restored;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    restored.push_back(std::make_unique<testing::ScopedEnv>(name, ""));
    ::unsetenv(name);
  }
  // No display at all; then one with no server behind it, under platforms that Qt would abort
  // in: a framebuffer that is not there, a name that is no plugin.
  for (const char* platform : {"", "xcb", "linuxfb:fb=/nonexistent/fb0", "nosuch"}) {
    if (*platform != '\0')
      ::setenv("DISPLAY", ":4321", 1), ::setenv("QT_QPA_PLATFORM", platform, 1);
    const Outcome run = Quarnel(dir, {});
    EXPECT_EQ(run.status, 1) << platform;
    EXPECT_EQ(run.out + "|" + run.err,
              "|quarnel: no display to open the window on; run a subcommand instead: analyse, "
              "process, uncompress, verify, info, sample\n");
  }
}

// The sample disc through every command as a user chains them. Of several inputs a failed one
// does not stop the others: the run ends with a summary (or one JSON array) and status 1. A track
// set's outputs take the data track file's name and restore that file; an image comes back up to
// the end of its data track. A restore never replaces an existing file without --force.
TEST(Cli, AnalysesProcessesAndRestoresTheSampleDisc) {
  TempDir dir;
  ASSERT_EQ(Quarnel(dir, {"sample", dir.Path().string()}).status, 0);
  SampleDiscLayout layout;
  BuildSampleDisc(&layout);
  const std::string image = "sample.bin", set = "Sample Game (Track 1).bin",
                    source = ReadText(dir.File(image));

  // Text: the log as it comes, then the media rows with their indexes.
  const Outcome text = Quarnel(dir, {"analyse", image});
  ASSERT_EQ(text.status, 0) << text.err;
  const auto& v = layout.videos;
  const auto& xa = layout.xaStream;
  char rows[300];
  std::snprintf(rows, sizeof rows,
                "   0 [Video Stream] from %06u to %06u\n   1 [Video Stream] from %06u to %06u\n"
                "   2 [XA Stream] from %06u to %06u (%u Records)\n",
                v[0].firstSector, v[0].lastSector, v[1].firstSector, v[1].lastSector,
                xa.firstSector, xa.lastSector, layout.xaChannels);
  ASSERT_TRUE(text.out.ends_with(rows)) << text.out;

  // JSON: one document on stdout, the same log lines on stderr; a name that needs escapes.
  std::filesystem::create_directory_symlink(".", dir.File("q\"b\\c\xE9\x01\t"));
  const Outcome analysed =
      Quarnel(dir, {"analyse", "q\"b\\c\xE9\x01\t/" + image, "--enhanced-xa", "--json"});
  ASSERT_EQ(analysed.status, 0) << analysed.err;
  EXPECT_EQ(analysed.err, text.out.substr(0, text.out.size() - std::strlen(rows)));
  const json a = Json(analysed.out);
  EXPECT_EQ(Over(a, {{"image", "q\"b\\c\u00e9\x01\t/sample.bin"},
                     {"sectors", layout.sectorCount},
                     {"audioTrackCount", 2},
                     {"xaRecordTotal", layout.xaChannels},
                     {"videoCount", 2},
                     {"stopped", false}}),
            a);
  EXPECT_EQ(a["log"][0], "- File Loaded.");
  const int64_t blocks = a["dataTrackEnd"].get<int64_t>() + 1;

  // The marks go through the window's rules: "10%" only on a ripped video, "Rip:" only on a
  // medium. A refused mark ends the command before anything is written.
  for (const auto& [rip, tenth] : {std::pair{"all", "2"}, std::pair{"0,3", "0"}}) {
    const Outcome run =
        Quarnel(dir, {"process", image, "--json", "--rip", rip, "--ten-percent", tenth});
    EXPECT_TRUE(run.status == 2 && run.out.empty() && run.err.find("\nquarnel: --") != run.err.npos)
        << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File(image + ".Z")));
  // A ripped XA stream forces the XA kind; the warning box becomes a line on stderr.
  const Outcome ripped =
      Quarnel(dir, {"process", image, "--maximum", "--rip", "0,2", "--ten-percent", "0"});
  ASSERT_EQ(ripped.status, 0) << ripped.err;
  EXPECT_EQ(ripped.err,
            "quarnel: warning: Compression mode forced to Normal because of music ripping "
            "selected\n");
  EXPECT_HAS(ripped.out, "- 2 Medias ripped.\n");
  EXPECT_HAS(ripped.out, "Wrote sample.bin.ZNX and ");

  const Outcome processed = Quarnel(dir, {"process", image, "missing.bin", "--json", "--verify"});
  EXPECT_EQ(processed.status, 1);
  const json p = Json(processed.out);
  ASSERT_EQ(p.size(), 2u) << processed.out;
  EXPECT_EQ(Over(p[0], {{"dataFile", "sample.bin.Z"},
                        {"blockTable", "sample.bin.Z.table"},
                        {"compressionMode", 2},
                        {"blocks", blocks},
                        {"rippedCount", 0},
                        {"stopped", false}}),
            p[0]);
  EXPECT_EQ(p[1]["error"], "cannot open missing.bin: No such file or directory");
  EXPECT_HAS(processed.err, "- 0 Medias ripped.\n");
  const std::string sha1 = p[0]["restoredSha1"];

  // verify and info read what process wrote; a damaged copy names its block.
  for (const char* part : {".Z", ".Z.table"}) {
    std::filesystem::copy_file(dir.File(image + part), dir.File(std::string("bad.bin") + part));
  }
  std::fstream(dir.File("bad.bin.Z"), std::ios::in | std::ios::out | std::ios::binary)
      .seekp(100)
      .write("\xA5\xA5\xA5\xA5\xA5\xA5\xA5\xA5", 8);  // inside block 0
  const Outcome verified = Quarnel(dir, {"verify", "sample.bin.Z", "bad.bin.Z"});
  EXPECT_EQ(verified.status, 1);
  EXPECT_HAS(verified.out, "- SHA-1 of the restored image: " + sha1 + "\n");
  EXPECT_EQ(verified.err, "ERROR: bad.bin.Z failed verification: block 0: does not decompress.\n");
  const Outcome info = Quarnel(dir, {"info", "sample.bin.Z", "--json"});
  EXPECT_EQ(info.status, 0) << info.err;
  const json i = Json(info.out);
  EXPECT_EQ(Over(i, {{"sectors", blocks}, {"blocks", blocks}}), i);

  // A batch is planned whole before its first input: a disc named again is done once; inputs
  // whose outputs would take one name, or an input's own file, are refused before anything is
  // written. A failed input does not stop the others.
  for (const char* folder : {"a", "b", "h"}) std::filesystem::create_directory(dir.File(folder));
  for (const char* copy : {"a/sample.bin", "b/sample.bin"}) {
    std::filesystem::copy_file(dir.File(image), dir.File(copy));
  }
  for (const char* link : {"h/sample.bin", "h/sample.bin.Z"}) {
    std::filesystem::create_hard_link(dir.File(image), dir.File(link));
  }
  for (const char* name : {"game.bin.Z", "game.bin.bz"}) testing::WriteAll(dir.File(name), {1});
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // a part of stdout; all of stderr
  } batches[] = {
      {{"process", "a/sample.bin", "b/sample.bin", "--output-dir", "o", "--rip", "2"},
       1,
       "FAILED\n",
       "ERROR: a/sample.bin and b/sample.bin would both write o/sample.bin.Z or o/sample.bin.ZNX; "
       "nothing was written for them.\n"},
      {{"process", "h/sample.bin"},
       1,
       "",
       "ERROR: h/sample.bin.Z is the same file as the input h/sample.bin; nothing was written.\n"},
      {{"uncompress", "game.bin.Z", "game.bin.bz", "game.bin.Z"},
       1,
       "- game.bin.Z is given twice: it is done once.\n",
       "ERROR: game.bin.Z and game.bin.bz would both write game.bin; nothing was written for "
       "them.\n"},
      {{"process", "missing.bin", "Sample Game.cue", "Sample Game (Track 2).bin", "--output-dir",
        "out"},
       1,
       "- Sample Game (Track 2).bin is the same disc as Sample Game.cue: it is done once.\n",
       "ERROR: cannot open missing.bin: No such file or directory; nothing was written.\n"},
  };
  for (const auto& c : batches) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome run = Quarnel(dir, c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_HAS(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("o")) && !std::filesystem::is_empty(dir.File("o")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("game.bin")));
  EXPECT_TRUE(ReadText(dir.File(image)) == source);
  EXPECT_TRUE(std::filesystem::exists(dir.File("out/" + set + ".Z")));

  // --quiet: no "Wrote" lines, only the errors and the summary.
  const Outcome restored =
      Quarnel(dir, {"uncompress", "--quiet", "out/" + set + ".Z", "Sample Game.cue", "sample.bin.Z",
                    "--output-dir", "restored"});
  EXPECT_EQ(restored.status, 1);
  EXPECT_EQ(restored.out.find("Wrote"), std::string::npos) << restored.out;
  EXPECT_HAS(restored.out, "\nINPUT ");
  EXPECT_EQ(
      restored.err,
      "ERROR: Sample Game.cue is not a compressed image: a compressed image's data file ends in "
      ".Z, .ZNX or .bz (in any letter case); nothing was written.\n");
  EXPECT_TRUE(ReadText(dir.File("restored/" + set)) == ReadText(dir.File(set)));
  EXPECT_TRUE(ReadText(dir.File("restored/" + image)) == source.substr(0, blocks * SECTOR_SIZE));

  const Outcome kept = Quarnel(dir, {"uncompress", "sample.bin.Z"});
  EXPECT_EQ(kept.status, 1);
  // Kept as asked: not an "ERROR", but the file was not restored.
  EXPECT_TRUE(kept.err.starts_with(
      "quarnel: sample.bin exists and was left as it is; --force replaces it."))
      << kept.err;
  EXPECT_EQ(Count(kept.err, "\n"), 1u) << kept.err;
  EXPECT_TRUE(ReadText(dir.File(image)) == source);
}

// A disc kept with --flac gives back every file of its dump, as a set and as one image; every
// command states its sizes alike. verify names a DAT's game, or the file that differs or is
// missing, of a raw set as of a compressed one; a damaged FLAC is found by verify and named by
// uncompress, which still restores the data track's file whole.
TEST(Cli, KeepsTheWholeDumpAndGivesItBack) {
  TempDir dir;
  ASSERT_EQ(Quarnel(dir, {"sample", dir.Path().string()}).status, 0);
  const std::string data = "Sample Game (Track 1).bin", flac = "Sample Game (Track 3).bin.flac";
  const std::vector<std::string> set = {data, "Sample Game (Track 2).bin",
                                        "Sample Game (Track 3).bin", "Sample Game.cue"};
  std::map<std::string, std::string> dump;
  for (const std::string& name : set) dump[name] = ReadText(dir.File(name));
  for (const char* name : {"sample.bin", "sample.cue"}) dump[name] = ReadText(dir.File(name));
  // The set's DAT; one with a wrong SHA-1 for track 2; one with a track the set lacks.
  for (const auto& [name, wrong, extra] :
       {std::tuple{"set.dat", "", ""}, std::tuple{"wrong.dat", "Sample Game (Track 2).bin", ""},
        std::tuple{"more.dat", "", "Sample Game (Track 4).bin"}}) {
    std::string roms;
    for (const std::string& file : set) {
      Checksums sums;
      sums.Update(dump[file].data(), dump[file].size());
      std::string sha1 = sums.Finish().sha1;
      if (file == wrong) sha1[0] = sha1[0] == '0' ? '1' : '0';
      roms += "<rom name=\"" + file + "\" size=\"" + std::to_string(dump[file].size()) +
              "\" sha1=\"" + sha1 + "\"/>";
    }
    if (*extra)
      roms += std::string("<rom name=\"") + extra + "\" size=\"2352\" sha1=\"" +
              std::string(40, 'a') + "\"/>";
    std::ofstream(dir.File(name)) << "<datafile><header><name>t</name></header><game name=\"Sample "
                                     "Game\">" +
                                         roms + "</game></datafile>";
  }

  const Outcome kept = Quarnel(dir, {"process", "--flac", "--no-audio-mp3", "Sample Game.cue"});
  ASSERT_EQ(kept.status, 0) << kept.err;
  ASSERT_EQ(
      Quarnel(dir, {"process", "--flac", "--no-audio-mp3", "sample.bin", "--output-dir", "single"})
          .status,
      0);
  // One size throughout: process's JSON and log, info's text and JSON, verify's JSON.
  json sizes;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"process", "--flac", "--no-audio-mp3", "--force", "--json",
                                 "Sample Game.cue"},
        {"info", "--json", data + ".Z"},
        {"verify", "--json", data + ".Z"}}) {
    const json doc = Json(Quarnel(dir, args).out);
    const json figures = {{"sizeBefore", doc["sizeBefore"]}, {"sizeAfter", doc["sizeAfter"]}};
    EXPECT_TRUE(sizes.is_null() || sizes == figures) << args[0] << figures << sizes;
    sizes = figures;
  }
  const std::string before = MegabytesText(sizes["sizeBefore"]),
                    after = MegabytesText(sizes["sizeAfter"]);
  EXPECT_HAS(kept.out, "- Result Size is " + after + " Mb\n");
  EXPECT_HAS(Quarnel(dir, {"info", data + ".Z"}).out,
             before + " MB before, " + after + " MB after");

  std::filesystem::create_directory(dir.File("orig"));
  for (const auto& [name, bytes] : dump) {
    std::filesystem::rename(dir.File(name), dir.File("orig/" + name));
  }
  EXPECT_EQ(Quarnel(dir, {"verify", data + ".Z", "--source", "orig/Sample Game.cue"}).status, 0);
  const Outcome restored = Quarnel(dir, {"uncompress", data + ".Z", "single/sample.bin.Z"});
  ASSERT_EQ(restored.status, 0) << restored.err;
  for (const auto& [name, bytes] : dump) {
    EXPECT_TRUE(ReadText(dir.File((name.starts_with("sample") ? "single/" : "") + name)) == bytes)
        << name;
  }

  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // a part of stdout; all of stderr
  } dats[] = {
      {{"verify", "Sample Game.cue", "--dat", "set.dat"}, 0, "The game is complete", ""},
      {{"verify", "Sample Game (Track 2).bin", "--dat", "wrong.dat"},
       1,
       "- Sample Game (Track 2).bin: differs from the DAT's size or SHA-1\n",
       "ERROR: Sample Game (Track 2).bin: Sample Game (Track 2).bin differs from wrong.dat.\n"},
      {{"verify", "Sample Game.cue", "--dat", "more.dat"},
       1,
       "- Sample Game (Track 4).bin: not held\n",
       "ERROR: Sample Game.cue: the DAT's Sample Game is not complete.\n"},
      {{"verify", data + ".Z", "--dat", "set.dat"},
       0,
       "- The game is complete: every file matches the DAT.\n",
       ""},
      {{"verify", data + ".Z", "--dat", "wrong.dat"},
       1,
       "- Sample Game (Track 2).bin: differs from the DAT's size or SHA-1\n",
       "ERROR: " + data +
           ".Z failed verification: Sample Game (Track 2).bin differs from "
           "wrong.dat.\n"},
  };
  for (const auto& c : dats) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome run = Quarnel(dir, c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_HAS(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
  }

  const std::string whole = ReadText(dir.File(flac));
  for (const bool truncated : {true, false}) {
    SCOPED_TRACE(truncated ? "truncated" : "flipped");
    std::string damaged = whole;
    if (truncated) damaged.resize(whole.size() / 2);
    for (size_t i = whole.size() / 2; !truncated && i < whole.size() / 2 + 16; ++i)
      damaged[i] ^= 0xFF;
    testing::WriteAll(dir.File(flac), {damaged.begin(), damaged.end()});
    const Outcome verified = Quarnel(dir, {"verify", data + ".Z"});
    EXPECT_EQ(verified.status, 1);
    EXPECT_HAS(verified.err, flac + ": ");
    for (const std::string& name : set) std::filesystem::remove(dir.File(name));
    const Outcome run = Quarnel(dir, {"uncompress", data + ".Z"});
    EXPECT_EQ(run.status, 1);
    EXPECT_HAS(run.err, "cannot restore from " + flac + ": ");
    EXPECT_TRUE(ReadText(dir.File(data)) == dump[data]);
  }

  // A list whose data part ends far before the blocks' end is not this image's: its bytes would
  // be held back in memory. The image alone comes back.
  std::string list = ReadText(dir.File("single/sample.bin.Z.dump"));
  list.replace(list.find("prefix ") + 7,
               list.find(' ', list.find("prefix ") + 7) - list.find("prefix ") - 7, "2352");
  testing::WriteAll(dir.File("single/sample.bin.Z.dump"), {list.begin(), list.end()});
  const Outcome alone = Quarnel(dir, {"uncompress", "single/sample.bin.Z", "--output-dir", "r"});
  EXPECT_EQ(alone.status, 1);
  EXPECT_HAS(alone.err,
             "sample.bin.Z.dump does not fit the image (its data part ends at byte 2352");
  EXPECT_TRUE(std::filesystem::exists(dir.File("r/sample.bin")));
}

// process keeps a disc's audio tracks as MP3 unless told not to, and refuses up front when it
// cannot; dropped tracks are said in the last line and the summary. An existing output is
// replaced only with --force and passed over with --skip-existing. A folder is taken as the discs
// it holds, a set once through its cue sheet.
TEST(Cli, ProcessKeepsAudioAndExistingOutputsAsAsked) {
  TempDir dir, emptyPath;
  std::filesystem::create_directories(dir.File("games/one"));
  ASSERT_EQ(Quarnel(dir, {"sample", dir.File("games/one")}).status, 0);
  std::filesystem::create_directory(dir.File("games/two"));
  for (const char* name : {"Sample Game (Track 1).bin", "Sample Game (Track 2).bin",
                           "Sample Game (Track 3).bin", "Sample Game.cue"}) {
    std::filesystem::rename(dir.File(std::string("games/one/") + name),
                            dir.File(std::string("games/two/") + name));
  }
  const std::string image = "games/one/sample.bin", output = image + ".Z";
  const Outcome refused = [&] {
    testing::ScopedEnv path("PATH", emptyPath.Path().string());
    return Quarnel(dir, {"process", image});
  }();
  EXPECT_EQ(refused.status, 1);
  const std::string local = dir.File("audio/lame");
  EXPECT_EQ(refused.err, "ERROR: no MP3 encoder: neither " + local +
                             " nor lame on PATH can be run; install the Debian package lame "
                             "(apt-get install lame), or put the encoder at " +
                             local +
                             "; or pass --no-audio-mp3 to go on without them; nothing was "
                             "written.\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File(output)));

  testing::WriteAll(dir.File(output), {1, 2, 3});
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;  // parts of stdout
    std::string err;
    bool replaced;
  } runs[] = {
      {{"process", image, "--no-audio-mp3"},
       1,
       {},
       "ERROR: " + output +
           " exists; --force replaces it, --skip-existing passes over it; nothing "
           "was written; " +
           output + " was kept.\n",
       false},
      {{"process", image, "--no-audio-mp3", "--skip-existing"},
       0,
       {"Nothing was written; " + output + " exists and was passed over.\n"},
       "",
       false},
      {{"process", "games", "--no-audio-mp3", "--force"},
       0,
       {"- Found 2 discs in games.\n", "; the 2 audio tracks were not kept.\n",
        "ok, 2 audio tracks not kept, data track "},
       "",
       true},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(::testing::PrintToString(r.args));
    const Outcome run = Quarnel(dir, r.args);
    EXPECT_EQ(run.status, r.status);
    for (const std::string& part : r.out) EXPECT_HAS(run.out, part);
    EXPECT_EQ(run.err, r.err);
    EXPECT_EQ(ReadText(dir.File(output)).size() > 3, r.replaced);
  }

  if (std::system("command -v lame >/dev/null 2>&1") != 0) GTEST_SKIP() << "lame is needed";
  ASSERT_EQ(Quarnel(dir, {"process", "--force", image}).status, 0);
  EXPECT_HAS(Quarnel(dir, {"info", output}).out, "Audio track section: 2 entries");
}

// A killed run leaves at most a temporary named as one, never a part of an output under its final
// name. SIGTERM stops at the next block, or kills a hung encoder, and removes the temporaries and
// the work folder: the folder is as it was.
TEST(Cli, KilledAndTerminatedRunsLeaveNoOutput) {
  TempDir dir;
  std::vector<uint8_t> noise(60u << 20);
  uint32_t x = 1;
  for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24);
  // Noise that bzip2 is slow on, in sectors that still look like a raw CD's.
  for (size_t at = 0; at + SECTOR_SIZE <= noise.size(); at += SECTOR_SIZE) {
    std::fill_n(noise.begin() + at, 12, 0xFF);
    noise[at] = noise[at + 11] = 0;
  }
  testing::WriteAll(dir.File("big.bin"), noise);
  DiscBuilder disc;
  disc.AddDataSectors(40);
  disc.AddXaToneStream({440.0, 700.0}, 20);
  std::string error;
  ASSERT_TRUE(disc.Write(dir.File("xa.bin"), {}, &error)) << error;
  // An encoder that hangs, and says who it is.
  testing::PutScript(dir.File("audio/lame"), "echo $$ >>encoder.pids\nexec sleep 600");
  const auto exists = [&](const char* name) { return std::filesystem::exists(dir.File(name)); };
  const std::map<std::string, std::string> before = Snapshot(dir);
  const struct {
    std::vector<std::string> args;
    int signal;
    const char* running;  // a file that shows the run is where it should be stopped
  } runs[] = {
      {{"process", "big.bin", "--maximum"}, SIGKILL, "big.bin.bz.index.partial"},
      {{"process", "big.bin", "--maximum"}, SIGTERM, "big.bin.bz.index.partial"},
      {{"process", "xa.bin", "--xa-mp3"}, SIGTERM, "encoder.pids"},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(::testing::PrintToString(r.args));
    const pid_t pid = Spawn(dir, r.args);
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!exists(r.running) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(pid, r.signal);
    const Outcome run = Wait(dir, pid);
    EXPECT_EQ(run.status, r.signal == SIGKILL ? -SIGKILL : 130) << run.err;
    if (r.signal == SIGKILL) {
      for (const char* name : {"big.bin.bz.partial", "big.bin.bz.index.partial"}) {
        std::filesystem::remove(dir.File(name));
      }
    } else {
      EXPECT_HAS(run.out, "Stopped ");
    }
    std::ifstream pids(dir.File("encoder.pids"));
    for (pid_t encoder = 0; pids >> encoder;) {
      EXPECT_FALSE(Running(encoder)) << "encoder " << encoder;
      if (Running(encoder)) kill(encoder, SIGKILL);
    }
    EXPECT_EQ(Snapshot(dir), before);
  }
}

// Two runs at once in one folder each store their own disc's sound: the very bytes that each
// stores when it runs alone.
TEST(Cli, ProcessStoresTheSoundOfItsOwnDisc) {
  TempDir dir;
  const std::string names[2] = {"one.bin", "two.bin"};
  for (int i = 0; i < 2; ++i) {
    DiscBuilder disc;
    disc.AddDataSectors(40);
    disc.AddXaToneStream({i ? 1250.0 : 440.0, i ? 300.0 : 700.0}, 20);
    disc.AddDataSectors(3);
    std::string error;
    ASSERT_TRUE(disc.Write(dir.File(names[i]), {}, &error)) << error;
  }
  if (std::system("command -v lame >/dev/null 2>&1") != 0) GTEST_SKIP() << "lame is needed";
  std::string alone[2];
  for (int i = 0; i < 2; ++i) {
    const Outcome run = Quarnel(dir, {"process", names[i], "--xa-mp3"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    alone[i] = ReadText(dir.File(names[i] + ".ZNX"));
    std::filesystem::remove(dir.File(names[i] + ".ZNX"));
    std::filesystem::remove(dir.File(names[i] + ".ZNX.table"));
  }
  ASSERT_NE(alone[0], alone[1]);
  const pid_t pids[2] = {Spawn(dir, {"process", names[0], "--xa-mp3"}, names[0]),
                         Spawn(dir, {"process", names[1], "--xa-mp3"}, names[1])};
  for (int i = 0; i < 2; ++i) {
    const Outcome run = Wait(dir, pids[i], names[i]);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(ReadText(dir.File(names[i] + ".ZNX")) == alone[i]) << names[i];
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("audio")));  // the work folders were private
}

}  // namespace
}  // namespace quarnel
