#include "common/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

#include "common/interrupts.h"
#include "common/temporary_files.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::PutScript;
using testing::ReadText;
using testing::ScopedChdir;
using testing::ScopedEnv;

// Loading and storing are the window tests' concern; here the place, and a value without a
// terminating zero cut to the buffer.
TEST(Settings, FileInItsPlaceAndAValueWithoutAnEndCutToTheBuffer) {
  testing::TempDir dir;
  ScopedEnv config("XDG_CONFIG_HOME", dir.Path().string());
  const std::string file = dir.File("Harrowgate/Mirelle/CDR/quenbar/IsoFile");
  EXPECT_EQ(SettingsFilePath(), file);
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::ofstream(file, std::ios::binary) << std::string(300, 'a');
  char ImagePath[IMAGE_PATH_SIZE];
  LoadSettings(ImagePath);
  EXPECT_EQ(std::strlen(ImagePath), 255u);
}

// Waits up to ten seconds for `done`; a wait that long is a failure, not a slow machine.
bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Whether a process of group `group` lives (zombies waiting for a reaper do not count).
bool GroupAlive(pid_t group) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    if (!std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]))) continue;
    const std::string stat = ReadText(entry.path().string() + "/stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos) continue;
    char state = 0;
    int parent = 0, pgrp = 0;
    if (std::sscanf(stat.c_str() + end + 1, " %c %d %d", &state, &parent, &pgrp) == 3 &&
        pgrp == group && state != 'Z' && state != 'X') {
      return true;
    }
  }
  return false;
}

pid_t PidIn(const std::string& file) {
  pid_t pid = 0;
  std::ifstream(file) >> pid;
  return pid;
}

TEST(WorkFolder, OneRunsOwnNothingInsideFollowedPrivateOnesGoWithStaleOnes) {
  testing::TempDir dir;
  std::string error, path;
  // The folder the user asks for lies behind a link of theirs and is made with its parents.
  std::filesystem::create_directories(dir.File("real"));
  std::filesystem::create_directory_symlink(dir.File("real"), dir.File("link"));
  const std::string requested = dir.File("link/work"), inside = dir.File("real/work/");
  std::filesystem::create_directories(inside + "track03.raw");
  std::ofstream(dir.File("outside")) << "keep";
  std::filesystem::create_symlink(dir.File("outside"), inside + "track02.raw");
  std::filesystem::create_symlink(dir.File("through"), inside + "track05.wav");  // dangling
  std::ofstream(dir.File("real/keep")) << "keep";
  std::ofstream(inside + "track02.mp3") << "old";
  {
    WorkFolder work, again;
    ASSERT_TRUE(work.Make(requested, "", &error)) << error;
    EXPECT_EQ(work.Path(), requested);
    EXPECT_FALSE(again.Make(dir.File("real/work"), "", &error));
    EXPECT_EQ(error, "the work folder " + dir.File("real/work") + " is in use by another run");
    const std::tuple<std::string, bool, std::string> cases[] = {
        {"track02.raw", true, ""},  // the link goes, never written through
        {"track02.mp3", true, ""},
        {"track02.mp3", true, ""},  // this run's own: not replaced twice
        {"track04.mp3", true, ""},
        {"track05.wav", true, ""},  // a dangling link goes too: nothing is made through it
        {"track03.raw", false, "cannot create " + requested + "/track03.raw: Is a directory"},
        {"../outside", false, "cannot create " + requested + "/../outside: not a plain file name"},
    };
    for (const auto& [name, ok, expected] : cases) {
      error.clear();
      EXPECT_EQ(work.PrepareFile(name, &path, &error), ok) << name;
      EXPECT_EQ(error, expected);
      EXPECT_EQ(path, requested + "/" + name);
      if (ok) std::ofstream(path) << "new";
    }
    EXPECT_EQ(work.ReplacedFiles(),
              (std::vector<std::string>{"track02.raw", "track02.mp3", "track05.wav"}));
  }
  EXPECT_EQ(ReadText(dir.File("outside")), "keep");
  EXPECT_FALSE(std::filesystem::exists(dir.File("through")));
  EXPECT_EQ(ReadText(inside + "track02.raw"), "new");  // a file of its own, kept with the folder
  WorkFolder after;
  EXPECT_TRUE(after.Make(requested, "", &error)) << "the lock went with the first";

  // Private folders: a killed run's one goes, one in use, a link and its target stay.
  const std::string out = dir.File("out"), stale = out + "/.quarnel-work-stale1";
  std::filesystem::create_directories(stale + "/sub");
  std::ofstream(stale + "/track0000.wav") << "x";
  std::filesystem::create_directories(out + "/.quarnel-work-held01");
  const int held = ::open((out + "/.quarnel-work-held01").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  std::filesystem::create_directory_symlink(dir.File("real"), out + "/.quarnel-work-link01");
  {
    WorkFolder one, two;
    ASSERT_TRUE(one.Make("", out, &error) && two.Make("", out, &error)) << error;
    EXPECT_NE(one.Path(), two.Path());
    EXPECT_EQ(one.Path().rfind(out + "/.quarnel-work-", 0), 0u) << one.Path();
    EXPECT_FALSE(std::filesystem::exists(stale));
    std::ofstream(one.Path() + "/track0000.wav") << "x";
    std::filesystem::create_symlink(dir.File("outside"), two.Path() + "/track0000.mp3");
  }
  ::close(held);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 2);  // held, link
  EXPECT_EQ(ReadText(dir.File("outside")), "keep");
  EXPECT_EQ(ReadText(dir.File("real/keep")), "keep");  // the link's target was not swept
  EXPECT_TRUE(std::filesystem::exists(inside + "track02.raw"));
  EXPECT_FALSE(WorkFolder().Make("", dir.File("outside"), &error));
  EXPECT_EQ(error, "cannot make the work folder " + dir.File("outside") +
                       "/.quarnel-work-XXXXXX: Not a directory");
}

// The encoder is audio/lame under the current directory, else lame on PATH, always as an absolute
// path; a current directory that was deleted never turns a name into one under "/". An audio/lame
// that is there but cannot be run is an error, never passed over for lame on PATH.
TEST(Encoder, FoundAsAnAbsolutePathOrABrokenLocalOneIsAnError) {
  testing::TempDir dir;
  PutScript(dir.File("bin/lame"), "exit 0");
  PutScript(dir.File("here/audio/lame"), "exit 0");
  PutScript(dir.File("plain/audio/lame"), "exit 0");
  std::filesystem::permissions(dir.File("plain/audio/lame"), std::filesystem::perms::owner_read);
  std::filesystem::create_directories(dir.File("folder/audio/lame"));
  std::filesystem::create_directories(dir.File("broken/audio"));
  std::filesystem::create_symlink("missing", dir.File("broken/audio/lame"));
  std::filesystem::create_directories(dir.File("file"));
  std::ofstream(dir.File("file/audio")) << "not a folder";
  ScopedEnv path("PATH", "bin:" + dir.File("bin"));
  const struct {
    std::string cwd, found, problem;
  } cases[] = {
      {"here", dir.File("here/audio/lame"), ""},
      {"", dir.File("bin/lame"), ""},  // the relative PATH entry, taken absolute
      {"file", dir.File("bin/lame"), ""},
      {"plain", "", "it is not executable (Permission denied)"},
      {"folder", "", "it is a folder"},
      {"broken", "", "it is a link that leads to no file (No such file or directory)"},
  };
  for (const auto& c : cases) {
    ScopedChdir inside(dir.File(c.cwd));
    std::string error;
    EXPECT_EQ(FindEncoder(&error), c.found) << c.cwd;
    EXPECT_EQ(error, c.problem.empty() ? ""
                                       : "the MP3 encoder " + dir.File(c.cwd + "/audio/lame") +
                                             " cannot be run: " + c.problem +
                                             "; repair it, or remove it to use lame on PATH");
  }
  std::filesystem::create_directories(dir.File("gone"));
  ScopedChdir inside(dir.File("gone"));
  std::filesystem::remove(dir.File("gone"));
  std::string error;
  EXPECT_EQ(FindEncoder(&error), dir.File("bin/lame"));
  ScopedEnv relativeOnly("PATH", "bin:");
  EXPECT_EQ(FindEncoder(&error), "");
  EXPECT_EQ(error.rfind("no MP3 encoder: neither ./audio/lame nor lame on PATH", 0), 0u) << error;
  EXPECT_FALSE(WorkFolder().Make("audio", "", &error));
  EXPECT_FALSE(std::filesystem::exists("/audio"));
}

// Each run gets a process group of its own (Ctrl-C in the terminal misses it), /dev/null for
// output, no descriptor and no blocked or ignored signal of ours, and says how it ended.
TEST(Encoder, RunsAloneSayHowTheyEndedAndSeveralRunAtOnce) {
  testing::TempDir dir;
  const std::string out = dir.File("out"), encoder = dir.File("lame");
  const int leaked = ::open(dir.Path().c_str(), O_RDONLY);  // without close-on-exec
  const std::string fd = std::to_string(leaked);
  const std::tuple<const char*, EncoderEnd, std::string> cases[] = {
      // Read first, with builtins only: the shell blocks signals while it waits for a command.
      {"while read -r k v; do case $k in Sig[BI]*) s=\"$s $k $v\";; esac; done < /proc/$$/status\n"
       "o=$(readlink /proc/$$/fd/1); cut -d' ' -f5 /proc/$$/stat > \"$1\"; echo $o$s >> \"$1\"\n"
       "if [ -e /proc/$$/fd/FD ]; then echo leak >> \"$1\"; fi",
       EncoderEnd::Succeeded, "exit status 0"},
      {"exit 3", EncoderEnd::Failed, "exit status 3"},
      {"kill -9 $$", EncoderEnd::Failed, "killed by signal 9"},
      {"", EncoderEnd::Failed, "cannot start it: Permission denied"},  // not executable
      {nullptr, EncoderEnd::Failed, "cannot start it: No such file or directory"},
  };
  sigset_t usr1, old;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &usr1, &old);
  ::signal(SIGUSR2, SIG_IGN);
  for (const auto& [body, end, how] : cases) {
    std::filesystem::remove(encoder);
    if (body != nullptr) {
      std::string text = body;
      if (text.find("FD") != std::string::npos) text.replace(text.find("FD"), 2, fd);
      PutScript(encoder, text);
      if (text.empty()) std::filesystem::permissions(encoder, std::filesystem::perms::owner_read);
    }
    const EncoderResult result = RunEncoder(encoder, {out}, [] { return false; });
    EXPECT_EQ(result.end, end) << how;
    EXPECT_EQ(result.how, how);
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::signal(SIGUSR2, SIG_DFL);
  ::close(leaked);
  pid_t group = 0;
  std::ifstream written(out);
  ASSERT_TRUE(written >> group);
  EXPECT_NE(group, ::getpgrp());
  EXPECT_EQ(ReadText(out).substr(ReadText(out).find('\n')),
            "\n/dev/null SigBlk: 0000000000000000 SigIgn: 0000000000000000\n");
  // A run reaped behind its back (here through an ignored SIGCHLD) is no success.
  ::signal(SIGCHLD, SIG_IGN);
  PutScript(encoder, "exit 0");
  const EncoderResult lost = RunEncoder(encoder, {out}, [] { return false; });
  ::signal(SIGCHLD, SIG_DFL);
  EXPECT_EQ(std::pair(lost.end, lost.how),
            std::pair(EncoderEnd::Failed,
                      std::string("an unknown status: cannot wait for it: No child processes")));

  // Seven jobs, three at a time: each waits until three have started (so they did run at once)
  // and fails when it finds more than three running.
  PutScript(encoder,
            "touch \"$1/run.$2\" \"$1/started.$2\"\n"
            "[ $(ls \"$1\" | grep -c '^run') -le 3 ] || exit 99\n"
            "i=0; while [ $(ls \"$1\" | grep -c '^started') -lt 3 ]; do\n"
            "  i=$((i+1)); [ $i -lt 400 ] || exit 98; sleep 0.025; done\n"
            "rm \"$1/run.$2\"; [ \"$3\" = kill ] && kill -9 $$; exit $3");
  const std::vector<std::string> statuses = {"0", "3", "kill", "0", "5", "0", "1"};
  std::vector<std::vector<std::string>> jobs;
  for (size_t i = 0; i < statuses.size(); ++i) {
    jobs.push_back({dir.Path().string(), std::to_string(i), statuses[i]});
  }
  std::map<size_t, std::string> ended;
  EXPECT_TRUE(RunEncoders(
      encoder, jobs, 3, [] { return false; },
      [&](size_t job, const EncoderResult& r) {
        EXPECT_TRUE(ended.emplace(job, r.how).second);
        EXPECT_EQ(r.end == EncoderEnd::Succeeded, statuses[job] == "0");
      }));
  EXPECT_EQ(ended, (std::map<size_t, std::string>{{0, "exit status 0"},
                                                  {1, "exit status 3"},
                                                  {2, "killed by signal 9"},
                                                  {3, "exit status 0"},
                                                  {4, "exit status 5"},
                                                  {5, "exit status 0"},
                                                  {6, "exit status 1"}}));
}

// A stop ends the running encoders with everything they started, and starts no more; a run that
// dies, even by SIGKILL, takes its encoder with it.
TEST(Encoder, AStopOrTheDeathOfItsRunEndsIt) {
  testing::TempDir dir;
  const std::string encoder = dir.File("lame");
  PutScript(encoder, "echo $$ > \"$1.tmp\"; mv \"$1.tmp\" \"$1\"; sleep 30 & wait");
  const std::vector<std::vector<std::string>> jobs = {
      {dir.File("0")}, {dir.File("1")}, {dir.File("2")}};
  std::map<size_t, std::string> ended;
  EXPECT_FALSE(RunEncoders(
      encoder, jobs, 2,
      [&] { return std::filesystem::exists(jobs[0][0]) && std::filesystem::exists(jobs[1][0]); },
      [&](size_t job, const EncoderResult& r) {
        ended[job] = r.how;
        EXPECT_EQ(r.end, EncoderEnd::Stopped);
      }));
  EXPECT_EQ(ended, (std::map<size_t, std::string>{{0, "stopped"}, {1, "stopped"}}));
  EXPECT_FALSE(std::filesystem::exists(jobs[2][0]));
  for (int i = 0; i < 2; ++i) {
    const pid_t group = PidIn(jobs[i][0]);
    ASSERT_GT(group, 0);
    EXPECT_TRUE(WaitFor([&] { return !GroupAlive(group); })) << "a sleep of job " << i << " lives";
  }

  PutScript(encoder, "echo $$ > \"$1.tmp\"; mv \"$1.tmp\" \"$1\"; exec sleep 30");
  const std::string pidFile = dir.File("orphan");
  const pid_t run = ::fork();
  if (run == 0) {
    RunEncoder(encoder, {pidFile}, [] { return false; });
    ::_exit(0);
  }
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(pidFile); }));
  ::kill(run, SIGKILL);
  ::waitpid(run, nullptr, 0);
  const pid_t orphan = PidIn(pidFile);
  ASSERT_GT(orphan, 0);
  EXPECT_TRUE(WaitFor([&] { return !GroupAlive(orphan); })) << "the encoder outlived its run";
}

// The first stop signal only asks; the second (any of the three) kills the encoders and removes
// the temporaries, listed files and private folders with their files, before exiting with 130.
// SIGPIPE is ignored: a write to a closed pipe fails with EPIPE.
TEST(Interrupts, ASecondSignalLeavesNothingBehind) {
  testing::TempDir dir;
  const std::string temporary = dir.File("image.tmp"), pidFile = dir.File("pid"),
                    encoder = dir.File("lame"), errors = dir.File("stderr");
  std::ofstream(temporary) << "half";
  std::ofstream(dir.File("outside")) << "keep";
  PutScript(encoder, "echo $$ > \"$1.tmp\"; mv \"$1.tmp\" \"$1\"; sleep 30 & wait");
  const pid_t child = ::fork();
  if (child == 0) {
    const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, STDERR_FILENO);
    InstallInterruptHandlers();
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0 || ::close(pipeEnds[0]) != 0 || ::write(pipeEnds[1], "x", 1) >= 0 ||
        errno != EPIPE) {
      ::_exit(3);
    }
    RegisterTemporaryFile(temporary.c_str());
    WorkFolder work;
    std::string error, path;
    if (!work.Make("", dir.Path().string(), &error) || !work.PrepareFile("a.wav", &path, &error)) {
      ::_exit(4);
    }
    std::ofstream(path) << "x";
    std::filesystem::create_symlink(dir.File("outside"), work.Path() + "/a.mp3");
    ::raise(SIGINT);
    if (!InterruptRequested()) ::_exit(5);
    RunEncoder(encoder, {pidFile}, [&] {
      if (std::filesystem::exists(pidFile)) ::raise(SIGHUP);
      return false;
    });
    ::_exit(6);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  EXPECT_EQ(ReadText(errors), "\nquarnel: interrupted\n");
  EXPECT_FALSE(std::filesystem::exists(temporary));
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    EXPECT_EQ(entry.path().filename().string().rfind(".quarnel-work-", 0), std::string::npos);
  }
  EXPECT_EQ(ReadText(dir.File("outside")), "keep");
  const pid_t group = PidIn(pidFile);
  ASSERT_GT(group, 0);
  EXPECT_TRUE(WaitFor([&] { return !GroupAlive(group); })) << "the encoder's sleep lives";
}

}  // namespace
}  // namespace quarnel
