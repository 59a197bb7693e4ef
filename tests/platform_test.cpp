#include "common/platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

#include "test_support.h"

namespace quarnel {
namespace {

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

void PutScript(const std::string& path, const std::string& body) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

TEST(WorkFolder, PrivateFoldersAreApartAndGoWithTheirFilesARequestedOneStays) {
  testing::TempDir tmp;
  ScopedEnv tmpdir("TMPDIR", tmp.Path().string());
  int error = 0;
  {
    WorkFolder one, two, kept;
    ASSERT_TRUE(one.Make("", &error) && two.Make("", &error));
    EXPECT_NE(one.Path(), two.Path());
    EXPECT_EQ(one.Path().rfind(tmp.Path().string() + "/", 0), 0u) << one.Path();
    std::ofstream(one.Path() + "/track0000.wav") << "x";
    ASSERT_TRUE(kept.Make(tmp.File("mine/audio"), &error));
    std::ofstream(kept.Path() + "/track02.raw") << "x";
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.Path()), {}), 1);  // "mine"
  EXPECT_TRUE(std::filesystem::exists(tmp.File("mine/audio/track02.raw")));
}

// The encoder is audio/lame under the current directory, else lame on PATH, always as an absolute
// path; a current directory that was deleted never turns a name into one under "/".
TEST(Encoder, FoundAsAnAbsolutePathAlsoWhenTheCurrentDirectoryIsGone) {
  testing::TempDir dir;
  PutScript(dir.File("bin/lame"), "exit 0");
  PutScript(dir.File("here/audio/lame"), "exit 0");
  ScopedEnv path("PATH", "bin:" + dir.File("bin"));
  const struct {
    std::string cwd, found;
  } cases[] = {{"here", dir.File("here/audio/lame")}, {"", dir.File("bin/lame")}};
  for (const auto& c : cases) {
    ScopedChdir inside(dir.File(c.cwd));
    EXPECT_EQ(FindEncoder(), c.found);  // the relative PATH entry, taken absolute
  }
  std::filesystem::create_directories(dir.File("gone"));
  ScopedChdir inside(dir.File("gone"));
  std::filesystem::remove(dir.File("gone"));
  EXPECT_EQ(FindEncoder(), dir.File("bin/lame"));
  ScopedEnv relativeOnly("PATH", "bin:");
  EXPECT_EQ(FindEncoder(), "");
  int error = 0;
  EXPECT_FALSE(WorkFolder().Make("audio", &error));
  EXPECT_FALSE(std::filesystem::exists("/audio"));
}

TEST(Encoder, RunSaysHowItEndedAndRunsInItsOwnProcessGroup) {
  testing::TempDir dir;
  const std::string out = dir.File("out"), encoder = dir.File("lame");
  // The first case writes its process group: not ours, so Ctrl-C in the terminal misses it.
  const std::tuple<const char*, bool, std::string> cases[] = {
      {"cut -d' ' -f5 /proc/$$/stat > \"$1\"", true, ""},
      {"exit 3", false, "exit status 3"},
      {"kill -9 $$", false, "killed by signal 9"},
      {nullptr, false, "cannot start it: No such file or directory"},
  };
  for (const auto& [body, ok, expected] : cases) {
    std::filesystem::remove(encoder);
    if (body != nullptr) PutScript(encoder, body);
    std::string why;
    EXPECT_EQ(RunEncoder(encoder, {out}, &why), ok) << expected;
    EXPECT_EQ(why, expected);
  }
  pid_t group = 0;
  ASSERT_TRUE(std::ifstream(out) >> group);
  EXPECT_NE(group, ::getpgrp());

  // A hard exit kills the running encoder with its children.
  PutScript(encoder, "touch \"$1\"; sleep 30; exit 0");
  std::filesystem::remove(out);
  std::atomic<bool> done = false;
  std::string why;
  std::thread run([&] {
    RunEncoder(encoder, {out}, &why);
    done = true;
  });
  while (!done) {
    if (std::filesystem::exists(out)) KillRunningEncoder();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  run.join();
  EXPECT_EQ(why, "killed by signal 9");
  KillRunningEncoder();  // none runs: nothing happens
}

}  // namespace
}  // namespace quarnel
