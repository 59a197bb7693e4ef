// The quarnel program as a user runs it: exit statuses, messages and the JSON document.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "synthetic/disc_builder.h"
#include "test_support.h"

extern char** environ;

namespace quarnel {
namespace {

using testing::TempDir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Outcome {
  int status = -1;  // exit status; -N when killed by signal N
  std::string out;
  std::string err;
};

// Starts the program inside `dir` with stdout and stderr going to files in `dir`; runs at once
// tell their files apart by `tag`.
pid_t Spawn(const TempDir& dir, const std::vector<std::string>& args, const std::string& tag = {}) {
  std::vector<std::string> argvText = {QUARNEL_BINARY};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.Path().c_str());
  const std::string out = dir.File("stdout" + tag), err = dir.File("stderr" + tag);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

Outcome Wait(const TempDir& dir, pid_t pid, const std::string& tag = {}) {
  Outcome run;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  run.out = ReadAll(dir.File("stdout" + tag));
  run.err = ReadAll(dir.File("stderr" + tag));
  return run;
}

Outcome Quarnel(const TempDir& dir, const std::vector<std::string>& args) {
  return Wait(dir, Spawn(dir, args));
}

// A strict check that `text` is one JSON value (with optional white space around it) in plain
// ASCII: every byte above 0x7F must have been escaped.
void SkipSpace(std::string_view& s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s[0]))) s.remove_prefix(1);
}
bool Take(std::string_view& s, char c) {
  SkipSpace(s);
  return !s.empty() && s[0] == c && (s.remove_prefix(1), true);
}
bool JsonString(std::string_view& s) {
  if (!Take(s, '"')) return false;
  while (!s.empty()) {
    const auto c = static_cast<unsigned char>(s[0]);
    s.remove_prefix(1);
    if (c == '"') return true;
    if (c < 0x20 || c > 0x7E) return false;
    if (c != '\\') continue;
    if (s.empty() || std::string_view("\"\\/bfnrtu").find(s[0]) == std::string_view::npos) {
      return false;
    }
    const size_t digits = s[0] == 'u' ? 5 : 1;
    if (s.size() < digits || !std::all_of(s.begin() + 1, s.begin() + digits, [](char d) {
          return std::isxdigit(static_cast<unsigned char>(d));
        })) {
      return false;
    }
    s.remove_prefix(digits);
  }
  return false;
}
bool JsonValue(std::string_view& s) {
  SkipSpace(s);
  if (s.empty()) return false;
  if (s[0] == '"') return JsonString(s);
  if (s[0] == '{' || s[0] == '[') {
    const char close = s[0] == '{' ? '}' : ']';
    s.remove_prefix(1);
    if (Take(s, close)) return true;
    do {
      if (close == '}' && !(JsonString(s) && Take(s, ':'))) return false;
      if (!JsonValue(s)) return false;
    } while (Take(s, ','));
    return Take(s, close);
  }
  for (const std::string_view word : {"true", "false", "null"}) {
    if (s.starts_with(word)) return (s.remove_prefix(word.size()), true);
  }
  size_t n = s[0] == '-';
  while (n < s.size() && std::isdigit(static_cast<unsigned char>(s[n]))) ++n;
  if (n == 0 || !std::isdigit(static_cast<unsigned char>(s[n - 1]))) return false;
  s.remove_prefix(n);
  return true;
}
bool ValidJson(std::string_view s) {
  return JsonValue(s) && (SkipSpace(s), s.empty());
}

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

std::string Format(const char* format, uint32_t a, uint32_t b, uint32_t c) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// A usage error is one line and where the help is, with the closest name when one is near;
// the help itself comes only when asked for.
TEST(Cli, UsageErrorsHelpAndVersion) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;  // a part of stdout; nullptr: stdout is empty
    const char* err;  // a part of stderr; nullptr: stderr is empty
  } cases[] = {
      {{"frobnicate"}, 2, nullptr, "quarnel: unknown command frobnicate\nsee 'quarnel --help'\n"},
      {{"analize", "a.bin"}, 2, nullptr, "unknown command analize; did you mean analyse?\n"},
      {{"analyze", "a", "--jsn"}, 2, nullptr, "--jsn; did you mean --json?\nsee"},
      {{"analyse"}, 2, nullptr, "quarnel: missing IMAGE\nsee 'quarnel analyse --help'\n"},
      {{"analyse", "a.bin", "--json=yes"}, 2, nullptr, "option --json takes no value\n"},
      {{"process", "a.bin", "--maximum", "--normal"}, 2, nullptr, "exclude each other"},
      {{"process", "a.bin", "--rip", "0,x"}, 2, nullptr, "--rip takes"},
      {{"--version"}, 0, "quarnel 3.2\n", nullptr},
      {{"--help"}, 0, "Run 'quarnel COMMAND --help'", nullptr},
      {{"analyze", "--help"}, 0, "usage: quarnel analyse IMAGE...", nullptr},
      {{"process", "-h"}, 0, "(Debian package lame)", nullptr},
      {{"uncompress", "x", "--help"}, 0, "usage: quarnel uncompress DATAFILE", nullptr},
      {{"analyse", "no-such.bin", "--json"}, 1, nullptr, "cannot open no-such.bin: No such file"},
      // The path box holds 255 characters; a longer path is refused rather than cut.
      {{"analyse", std::string(300, 'x')}, 1, nullptr, "cannot open"},
      {{"process", "--output-dir", "", "a.bin"}, 2, nullptr, "--output-dir takes a folder"},
  };
  for (const Case& c : cases) {
    const Outcome run = Quarnel(dir, c.args);
    const std::string shown = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(run.status, c.status) << shown;
    for (const auto& [text, expected] : {std::pair{&run.out, c.out}, std::pair{&run.err, c.err}}) {
      if (expected == nullptr) {
        EXPECT_EQ(*text, "") << shown;
      } else {
        EXPECT_HAS(*text, expected) << shown;
      }
    }
    if (c.status == 2) {
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << shown << ": " << run.err;
    }
  }
}

// Without a command the program opens its window; with no display to open it on, it says so.
TEST(Cli, WithoutACommandAndWithoutADisplayItExitsOneWithOneLine) {
  TempDir dir;
  const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
  std::vector<std::pair<std::string, std::string>> saved;
  for (const char* name : names) {
    if (const char* value = std::getenv(name)) saved.emplace_back(name, value);
    ::unsetenv(name);
  }
  // No display at all; then one with no server behind it, under platforms that Qt would abort
  // in: a framebuffer that is not there, a name that is no plugin.
  for (const char* platform : {"", "xcb", "linuxfb:fb=/nonexistent/fb0", "nosuch"}) {
    if (*platform != '\0') ::setenv("DISPLAY", ":4321", 1);
    if (*platform != '\0') ::setenv("QT_QPA_PLATFORM", platform, 1);
    const Outcome run = Quarnel(dir, {});
    EXPECT_EQ(run.status, 1) << platform;
    EXPECT_EQ(run.out + "|" + run.err,
              "|quarnel: no display to open the window on; run a subcommand instead: analyse, "
              "process, uncompress, verify, info, sample\n");
  }
  for (const char* name : names) ::unsetenv(name);
  for (const auto& [name, value] : saved) ::setenv(name.c_str(), value.c_str(), 1);
}

TEST(Cli, AnalysesTheSampleDiscAsTextAndAsJson) {
  TempDir dir;
  const std::string discDir = dir.File("q\"b\\c\xE9\x01\t");  // a name that needs escapes
  const Outcome sample = Quarnel(dir, {"sample", discDir});
  ASSERT_EQ(sample.status, 0) << sample.err;
  SampleDiscLayout layout;
  BuildSampleDisc(&layout);
  const std::string image = discDir + "/sample.bin";

  // Text: the log as it comes, then the media rows with their indexes.
  const Outcome text = Quarnel(dir, {"analyse", image});
  ASSERT_EQ(text.status, 0) << text.err;
  const std::string rows =
      Format("   0 [Video Stream] from %06u to %06u\n", layout.videos[0].firstSector,
             layout.videos[0].lastSector, 0) +
      Format("   1 [Video Stream] from %06u to %06u\n", layout.videos[1].firstSector,
             layout.videos[1].lastSector, 0) +
      Format("   2 [XA Stream] from %06u to %06u (%u Records)\n", layout.xaStream.firstSector,
             layout.xaStream.lastSector, layout.xaChannels);
  ASSERT_GE(text.out.size(), rows.size());
  EXPECT_EQ(text.out.substr(text.out.size() - rows.size()), rows) << text.out;

  // JSON: one document on stdout, the same log lines on stderr.
  const Outcome json = Quarnel(dir, {"analyse", image, "--enhanced-xa", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  ASSERT_TRUE(ValidJson(json.out)) << json.out;
  EXPECT_EQ(json.err, text.out.substr(0, text.out.size() - rows.size()));
  const std::string& out = json.out;
  EXPECT_HAS(out, "/q\\\"b\\\\c\\u00e9\\u0001\\t/sample.bin\",");
  EXPECT_HAS(out, "\"sectors\":" + std::to_string(layout.sectorCount) + ",");
  EXPECT_HAS(out, "\"audioTrackCount\":2,");
  EXPECT_HAS(out, "\"xaRecordTotal\":" + std::to_string(layout.xaChannels) + ",");
  EXPECT_HAS(out, "\"videoCount\":2,\"stopped\":false,\"log\":[\"- File Loaded.\",");
}

// The number that follows "KEY": in a JSON document; -1 when there is none.
int64_t NumberField(const std::string& json, const std::string& key) {
  const std::string tag = "\"" + key + "\":";
  const size_t at = json.find(tag);
  return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + tag.size());
}

// process then uncompress over several inputs, as a user chains them: a failed input does not stop
// the others, the run ends with a summary (or one JSON array) and status 1. A track set's outputs
// take the data track file's name and restore that file; an image comes back up to the end of its
// data track. A restore never replaces an existing file without --force.
TEST(Cli, ProcessesAndRestoresSeveralDiscsAndSumsThemUp) {
  TempDir dir;
  ASSERT_EQ(Quarnel(dir, {"sample", dir.Path().string()}).status, 0);
  const std::string image = "sample.bin", set = "Sample (Track 1).bin";
  const std::string source = ReadAll(dir.File(image)), dataTrack = ReadAll(dir.File(set));
  const int64_t dataTrackEnd =
      NumberField(Quarnel(dir, {"analyse", image, "--json"}).out, "dataTrackEnd");
  ASSERT_GT(dataTrackEnd, 0);
  const std::string blocks = std::to_string(dataTrackEnd + 1);

  const Outcome json = Quarnel(dir, {"process", image, "missing.bin", "--json", "--verify"});
  EXPECT_EQ(json.status, 1);
  ASSERT_TRUE(ValidJson(json.out)) << json.out;
  EXPECT_EQ(json.out.front(), '[');
  EXPECT_HAS(json.out,
             "\"dataFile\":\"sample.bin.Z\",\"blockTable\":\"sample.bin.Z.table\","
             "\"compressionMode\":2,\"blocks\":" +
                 blocks + ",\"rippedCount\":0,\"stopped\":false,");
  EXPECT_HAS(json.out, "\"error\":\"cannot open missing.bin: No such file or directory\"}]");
  EXPECT_HAS(json.err, "- 0 Medias ripped.\n");
  const size_t at = json.out.find("\"restoredSha1\":\"");
  ASSERT_NE(at, std::string::npos);
  const std::string sha1 = json.out.substr(at + 16, 40);

  // verify and info read what process wrote; a damaged copy names its block.
  std::filesystem::copy_file(dir.File("sample.bin.Z"), dir.File("bad.bin.Z"));
  std::filesystem::copy_file(dir.File("sample.bin.Z.table"), dir.File("bad.bin.Z.table"));
  std::fstream(dir.File("bad.bin.Z"), std::ios::in | std::ios::out | std::ios::binary)
      .seekp(100)
      .write("\xA5\xA5\xA5\xA5\xA5\xA5\xA5\xA5", 8);  // inside block 0
  const Outcome verified = Quarnel(dir, {"verify", "sample.bin.Z", "bad.bin.Z"});
  EXPECT_EQ(verified.status, 1);
  EXPECT_HAS(verified.out, "- SHA-1 of the restored image: " + sha1 + "\n");
  EXPECT_HAS(verified.err, "quarnel: bad.bin.Z failed verification: block 0");
  const Outcome info = Quarnel(dir, {"info", "sample.bin.Z", "--json"});
  EXPECT_EQ(info.status, 0) << info.err;
  ASSERT_TRUE(ValidJson(info.out)) << info.out;
  EXPECT_HAS(info.out, "\"sectors\":" + blocks + ",\"blocks\":" + blocks + ",");

  const Outcome text =
      Quarnel(dir, {"process", "missing.bin", "Sample.cue", "--output-dir", "out"});
  EXPECT_EQ(text.status, 1);
  EXPECT_HAS(text.out, "Wrote out/" + set + ".Z and out/" + set + ".Z.table.");
  EXPECT_EQ(text.err, "quarnel: cannot open missing.bin: No such file or directory\n");
  const size_t summary = text.out.find("\nINPUT ");
  ASSERT_NE(summary, std::string::npos) << text.out;
  EXPECT_LT(text.out.find("FAILED\n", summary), text.out.find("Sample.cue", summary)) << text.out;
  EXPECT_EQ(text.out.substr(text.out.size() - 3), "ok\n") << text.out;

  // --quiet: no "Wrote" lines, only the errors and the summary.
  const Outcome restored = Quarnel(dir, {"uncompress", "--quiet", "out/" + set + ".Z", "Sample.cue",
                                         "sample.bin.Z", "--output-dir", "restored"});
  EXPECT_EQ(restored.status, 1);
  EXPECT_EQ(restored.out.find("Wrote"), std::string::npos) << restored.out;
  EXPECT_HAS(restored.out, "\nINPUT ");
  EXPECT_EQ(restored.err, "quarnel: Sample.cue is not a compressed image: it is a cue sheet\n");
  EXPECT_TRUE(ReadAll(dir.File("restored/" + set)) == dataTrack);
  const std::string image2 = ReadAll(dir.File("restored/" + image));
  ASSERT_EQ(image2.size(), static_cast<size_t>(dataTrackEnd + 1) * SECTOR_SIZE);
  EXPECT_TRUE(image2 == source.substr(0, image2.size()));

  const Outcome run = Quarnel(dir, {"uncompress", "sample.bin.Z"});
  EXPECT_EQ(run.status, 1);
  EXPECT_HAS(run.err, "quarnel: sample.bin exists");
  EXPECT_HAS(run.err, "--force");
  EXPECT_TRUE(ReadAll(dir.File(image)) == source);
}

// A killed run leaves at most a temporary named as one, never a part of an output under its final
// name; SIGTERM stops at the next block and removes the temporaries.
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
  for (const int signal : {SIGKILL, SIGTERM}) {
    const pid_t pid = Spawn(dir, {"process", dir.File("big.bin"), "--maximum"});
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(dir.File("big.bin.bz.index.partial")) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(pid, signal);
    const Outcome run = Wait(dir, pid);
    EXPECT_EQ(run.status, signal == SIGKILL ? -SIGKILL : 130) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("big.bin.bz")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("big.bin.bz.index")));
    if (signal == SIGTERM) {
      EXPECT_FALSE(std::filesystem::exists(dir.File("big.bin.bz.partial")));
      EXPECT_HAS(run.out, "Stopped ");
    }
    std::filesystem::remove(dir.File("big.bin.bz.partial"));
    std::filesystem::remove(dir.File("big.bin.bz.index.partial"));
  }
}

// The marks go through the window's rules: "10%" only on a ripped video, "Rip:" only on a medium.
// A refused mark ends the command before anything is written.
TEST(Cli, ProcessMarksMediaAsTheWindowDoes) {
  TempDir dir;
  ASSERT_EQ(Quarnel(dir, {"sample", dir.Path().string()}).status, 0);
  const std::string image = dir.File("sample.bin");
  for (const std::vector<std::string>& marks : std::vector<std::vector<std::string>>{
           {"--rip", "all", "--ten-percent", "2"},  // an XA stream
           {"--rip", "0,3"},                        // no such medium
       }) {
    std::vector<std::string> args = {"process", image, "--json"};
    args.insert(args.end(), marks.begin(), marks.end());
    const Outcome run = Quarnel(dir, args);
    EXPECT_EQ(run.status, 2) << marks[1];
    EXPECT_EQ(run.out, "") << marks[1];
    EXPECT_HAS(run.err, "quarnel: --");
  }
  EXPECT_FALSE(std::filesystem::exists(image + ".Z"));

  // A ripped XA stream forces the XA kind; the warning box becomes a line on stderr.
  const Outcome run =
      Quarnel(dir, {"process", image, "--maximum", "--rip", "0,2", "--ten-percent", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err,
            "quarnel: warning: Compression mode forced to Normal because of music ripping "
            "selected\n");
  EXPECT_HAS(run.out, "- 2 Medias ripped.\n");
  EXPECT_HAS(run.out, "Wrote " + image + ".ZNX and ");
}

// Writes a disc of one XA stream whose two channels sound `tones`.
void WriteXaDisc(const std::string& path, double tone0, double tone1) {
  DiscBuilder disc;
  disc.AddDataSectors(40);
  disc.AddXaToneStream({tone0, tone1}, 20);
  disc.AddDataSectors(3);
  std::string error;
  ASSERT_TRUE(disc.Write(path, {}, &error)) << error;
}

// Two runs at once in one folder each store their own disc's sound: the very bytes that each
// stores when it runs alone.
TEST(Cli, ProcessRunsAtOnceKeepTheirOwnSound) {
  if (std::system("command -v lame >/dev/null 2>&1") != 0) GTEST_SKIP() << "lame is needed";
  TempDir dir;
  const std::string names[2] = {"one.bin", "two.bin"};
  WriteXaDisc(dir.File(names[0]), 440.0, 700.0);
  WriteXaDisc(dir.File(names[1]), 1250.0, 300.0);
  std::string alone[2];
  for (int i = 0; i < 2; ++i) {
    const Outcome run = Quarnel(dir, {"process", names[i], "--xa-mp3"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    alone[i] = ReadAll(dir.File(names[i] + ".ZNX"));
  }
  ASSERT_NE(alone[0], alone[1]);
  pid_t pids[2];
  for (int i = 0; i < 2; ++i) {
    std::filesystem::remove(dir.File(names[i] + ".ZNX"));
    pids[i] = Spawn(dir, {"process", names[i], "--xa-mp3"}, names[i]);
  }
  for (int i = 0; i < 2; ++i) {
    const Outcome run = Wait(dir, pids[i], names[i]);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(ReadAll(dir.File(names[i] + ".ZNX")) == alone[i]) << names[i];
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("audio")));  // the work folders were private
}

// A run that could not store the sound it clears fails before anything is written when there is
// no encoder.
TEST(Cli, ProcessWithoutAnEncoderFailsAndLeavesNoOutputs) {
  TempDir dir, emptyPath;
  WriteXaDisc(dir.File("x.bin"), 440.0, 700.0);
  const std::string local = dir.File("audio/lame");
  const Outcome run = [&] {
    testing::ScopedEnv path("PATH", emptyPath.Path().string());
    return Quarnel(dir, {"process", "x.bin", "--xa-mp3"});
  }();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("ERROR: no MP3 encoder: neither " + local +
                         " nor lame on PATH can be run; install the Debian package lame "
                         "(apt-get install lame), or put the encoder at " +
                         local + ".\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("Wrote"), std::string::npos) << run.out;
  EXPECT_HAS(run.err, "quarnel: no MP3 encoder: ");
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.bin.ZNX")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.bin.ZNX.table")));
}

}  // namespace
}  // namespace quarnel
