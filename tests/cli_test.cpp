// The quarnel program as a user runs it: exit statuses, messages and the JSON document.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
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

// Starts the program inside `dir` with stdout going to a file in `dir`, and stderr too unless
// `stderrFd` is given; runs at once tell their files apart by `tag`.
pid_t Spawn(const TempDir& dir, const std::vector<std::string>& args, int stderrFd = -1,
            const std::string& tag = {}) {
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
  if (stderrFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
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
class JsonChecker {
 public:
  static bool Valid(const std::string& text) {
    JsonChecker c(text);
    return c.Value() && (c.Space(), c.pos_ == text.size());
  }

 private:
  explicit JsonChecker(const std::string& text) : s_(text) {}

  bool Value() {
    Space();
    if (pos_ >= s_.size()) return false;
    const char c = s_[pos_];
    if (c == '{' || c == '[') return Sequence(c == '{' ? '}' : ']', c == '{');
    if (c == '"') return String();
    for (const std::string_view word : {"true", "false", "null"}) {
      if (s_.compare(pos_, word.size(), word) == 0) return (pos_ += word.size()) != 0;
    }
    return Number();
  }
  bool Sequence(char close, bool object) {
    ++pos_;
    Space();
    if (Take(close)) return true;
    do {
      Space();
      if (object && !(String() && (Space(), Take(':')))) return false;
      if (!Value()) return false;
      Space();
    } while (Take(','));
    return Take(close);
  }
  bool String() {
    if (!Take('"')) return false;
    while (pos_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20 || c > 0x7E) return false;
      if (c != '\\') continue;
      if (pos_ >= s_.size()) return false;
      const char e = s_[pos_++];
      for (int i = 0; e == 'u' && i < 4; ++i) {
        if (pos_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[pos_++]))) {
          return false;
        }
      }
      if (std::string_view("\"\\/bfnrtu").find(e) == std::string_view::npos) return false;
    }
    return false;
  }
  bool Number() {
    const size_t start = pos_;
    Take('-');
    while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    return pos_ > start && std::isdigit(static_cast<unsigned char>(s_[pos_ - 1]));
  }
  bool Take(char c) { return pos_ < s_.size() && s_[pos_] == c && ++pos_; }
  void Space() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

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
      {{"sample"}, 2, nullptr, "missing DIR"},
      {{"process"}, 2, nullptr, "see 'quarnel process --help'"},
      {{"process", "a.bin", "--maximum", "--normal"}, 2, nullptr, "exclude each other"},
      {{"process", "a.bin", "--rip", "0,x"}, 2, nullptr, "--rip takes"},
      {{"process", "a.bin", "--ten-percent", ""}, 2, nullptr, "--ten-percent takes"},
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
        EXPECT_NE(text->find(expected), std::string::npos) << shown << ": " << *text;
      }
    }
    if (c.status == 2) {
      EXPECT_EQ(Count(run.err, "\n"), 2u) << shown << ": " << run.err;
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
  std::vector<Outcome> runs;
  runs.push_back(Quarnel(dir, {}));
  ::setenv("DISPLAY", ":4321", 1);  // a display with no server behind it
  // Platforms that Qt would abort in: a framebuffer that is not there, a name that is no plugin.
  for (const char* platform : {"xcb", "linuxfb:fb=/nonexistent/fb0", "nosuch"}) {
    ::setenv("QT_QPA_PLATFORM", platform, 1);
    runs.push_back(Quarnel(dir, {}));
  }
  for (const char* name : names) ::unsetenv(name);
  for (const auto& [name, value] : saved) ::setenv(name.c_str(), value.c_str(), 1);

  for (const Outcome& run : runs) {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "quarnel: no display to open the window on; run a subcommand instead: analyse, "
              "process, uncompress, sample\n");
  }
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
  ASSERT_TRUE(JsonChecker::Valid(json.out)) << json.out;
  EXPECT_EQ(json.err, text.out.substr(0, text.out.size() - rows.size()));
  const std::string& out = json.out;
  EXPECT_NE(out.find("/q\\\"b\\\\c\\u00e9\\u0001\\t/sample.bin\","), std::string::npos) << out;
  EXPECT_NE(out.find("\"sectors\":" + std::to_string(layout.sectorCount) + ","), std::string::npos);
  EXPECT_NE(out.find("\"audioTrackCount\":2,"), std::string::npos);
  EXPECT_NE(out.find("\"xaRecordTotal\":" + std::to_string(layout.xaChannels) + ","),
            std::string::npos);
  EXPECT_NE(out.find("\"videoCount\":2,\"stopped\":false,\"log\":[\"- File Loaded.\","),
            std::string::npos);
}

// The number that follows "KEY": in a JSON document; -1 when there is none.
int64_t NumberField(const std::string& json, const std::string& key) {
  const std::string tag = "\"" + key + "\":";
  const size_t at = json.find(tag);
  return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + tag.size());
}

void Corrupt(const std::string& path, uint64_t offset, size_t count) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(offset));
  for (size_t i = 0; i < count; ++i) file.put('\xA5');
}

// process then uncompress over several inputs, as a user chains them: a failed input does not stop
// the others, the run ends with a summary (or one JSON array) and status 1. A track set's outputs
// take the data track file's name and restore that file; an image comes back up to the end of its
// data track. A restore never replaces an existing file without --force, nor ever when damaged.
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
  ASSERT_TRUE(JsonChecker::Valid(json.out)) << json.out;
  EXPECT_EQ(json.out.front(), '[');
  EXPECT_NE(json.out.find("\"dataFile\":\"sample.bin.Z\",\"blockTable\":\"sample.bin.Z.table\","
                          "\"compressionMode\":2,\"blocks\":" +
                          blocks + ",\"rippedCount\":0,\"stopped\":false,"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"error\":\"cannot open missing.bin: No such file or directory\"}]"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.err.find("- 0 Medias ripped.\n"), std::string::npos) << json.err;
  const size_t at = json.out.find("\"restoredSha1\":\"");
  ASSERT_NE(at, std::string::npos);
  const std::string sha1 = json.out.substr(at + 16, 40);

  // verify and info read what process wrote; a damaged copy names its block.
  std::filesystem::copy_file(dir.File("sample.bin.Z"), dir.File("bad.bin.Z"));
  std::filesystem::copy_file(dir.File("sample.bin.Z.table"), dir.File("bad.bin.Z.table"));
  Corrupt(dir.File("bad.bin.Z"), 100, 8);  // inside block 0
  const Outcome verified = Quarnel(dir, {"verify", "sample.bin.Z", "bad.bin.Z"});
  EXPECT_EQ(verified.status, 1);
  EXPECT_NE(verified.out.find("- SHA-1 of the restored image: " + sha1 + "\n"), std::string::npos);
  EXPECT_NE(verified.out.find("ERROR: block 0: does not decompress\n"), std::string::npos);
  EXPECT_NE(verified.err.find("quarnel: bad.bin.Z failed verification: block 0"), std::string::npos)
      << verified.err;
  const Outcome info = Quarnel(dir, {"info", "sample.bin.Z", "--json"});
  EXPECT_EQ(info.status, 0) << info.err;
  ASSERT_TRUE(JsonChecker::Valid(info.out)) << info.out;
  EXPECT_NE(info.out.find("\"sectors\":" + blocks + ",\"blocks\":" + blocks + ","),
            std::string::npos)
      << info.out;

  const Outcome text =
      Quarnel(dir, {"process", "missing.bin", "Sample.cue", "--output-dir", "out"});
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.out.find("Wrote out/" + set + ".Z and out/" + set + ".Z.table."),
            std::string::npos)
      << text.out;
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
  EXPECT_NE(restored.out.find("\nINPUT "), std::string::npos) << restored.out;
  EXPECT_EQ(restored.err, "quarnel: Sample.cue is not a compressed image: it is a cue sheet\n");
  EXPECT_TRUE(ReadAll(dir.File("restored/" + set)) == dataTrack);
  const std::string image2 = ReadAll(dir.File("restored/" + image));
  ASSERT_EQ(image2.size(), static_cast<size_t>(dataTrackEnd + 1) * SECTOR_SIZE);
  EXPECT_TRUE(image2 == source.substr(0, image2.size()));

  Outcome run = Quarnel(dir, {"uncompress", "sample.bin.Z"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("quarnel: sample.bin exists"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("--force"), std::string::npos) << run.err;
  Corrupt(dir.File("sample.bin.Z"), std::filesystem::file_size(dir.File("sample.bin.Z")) / 2, 64);
  run = Quarnel(dir, {"uncompress", "sample.bin.Z", "--force"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("ERROR: block "), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("was not replaced"), std::string::npos) << run.err;
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
      EXPECT_NE(run.out.find("Stopped "), std::string::npos) << run.out;
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
           {"--rip", "1", "--ten-percent", "0"},    // a video not marked
           {"--rip", "0,3"},                        // no such medium
       }) {
    std::vector<std::string> args = {"process", image, "--json"};
    args.insert(args.end(), marks.begin(), marks.end());
    const Outcome run = Quarnel(dir, args);
    EXPECT_EQ(run.status, 2) << marks[1];
    EXPECT_EQ(run.out, "") << marks[1];
    EXPECT_NE(run.err.find("quarnel: --"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(image + ".Z"));

  // A ripped XA stream forces the XA kind; the warning box becomes a line on stderr.
  const Outcome run =
      Quarnel(dir, {"process", image, "--maximum", "--rip", "0,2", "--ten-percent", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err,
            "quarnel: warning: Compression mode forced to Normal because of music ripping "
            "selected\n");
  EXPECT_NE(run.out.find("- 2 Medias ripped.\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Wrote " + image + ".ZNX and "), std::string::npos) << run.out;
}

// True once the process catches SIGINT (Linux: the SigCgt mask of /proc/PID/status).
bool CatchesInterrupt(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1)) & 1;
    }
  }
  return false;
}

// Ctrl-C stops the scan like the Stop button: the summary and the document still come, and the
// status is 130. To press it at a known moment, stderr is a pipe filled to the brim beforehand:
// the program blocks on its first log line, after the handler is in place and before the scan.
TEST(Cli, InterruptStopsTheScanAndStillReports) {
  TempDir dir;
  ASSERT_EQ(Quarnel(dir, {"sample", dir.Path().string()}).status, 0);

  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const int flags = fcntl(pipeFds[1], F_GETFL);
  fcntl(pipeFds[1], F_SETFL, flags | O_NONBLOCK);
  size_t filler = 0;
  const char chunk[256] = {};
  for (size_t size = sizeof chunk; size > 0; size /= 2) {
    while (write(pipeFds[1], chunk, size) == static_cast<ssize_t>(size)) filler += size;
  }
  fcntl(pipeFds[1], F_SETFL, flags);

  const pid_t pid = Spawn(dir, {"analyse", dir.File("sample.bin"), "--json"}, pipeFds[1]);
  close(pipeFds[1]);
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!CatchesInterrupt(pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGINT);

  std::string err;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) err.append(buffer, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(pipeFds[0]);
  const Outcome run = Wait(dir, pid);
  ASSERT_GE(err.size(), filler);
  err.erase(0, filler);

  EXPECT_EQ(run.status, 130) << err;
  EXPECT_TRUE(JsonChecker::Valid(run.out)) << run.out;
  EXPECT_NE(run.out.find("\"stopped\":true"), std::string::npos) << run.out;
  EXPECT_NE(err.find("Video found and"), std::string::npos) << err;
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
    pids[i] = Spawn(dir, {"process", names[i], "--xa-mp3"}, -1, names[i]);
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
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", emptyPath.Path().c_str(), 1);
  const Outcome run = Quarnel(dir, {"process", "x.bin", "--xa-mp3"});
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("ERROR: no MP3 encoder: neither " + local +
                         " nor lame on PATH can be run; install the Debian package lame "
                         "(apt-get install lame), or put the encoder at " +
                         local + ".\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("Wrote"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("quarnel: no MP3 encoder: "), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.bin.ZNX")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.bin.ZNX.table")));
}

}  // namespace
}  // namespace quarnel
