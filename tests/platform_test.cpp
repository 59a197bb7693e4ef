#include "common/platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "test_support.h"

namespace quarnel {
namespace {

TEST(Settings, FirstStartStoresZerosAndTheStoredPathComesBack) {
  testing::TempDir dir;
  testing::ScopedEnv config("XDG_CONFIG_HOME", dir.Path().string());
  const std::string file = dir.File("Harrowgate/Mirelle/CDR/quenbar/IsoFile");
  EXPECT_EQ(SettingsFilePath(), file);

  auto state = MakeAppState();
  std::memset(state->ImagePath, 'x', sizeof state->ImagePath);
  LoadSettings(*state);
  EXPECT_STREQ(state->ImagePath, "");
  std::ifstream in(file, std::ios::binary);
  const std::string stored((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(stored, std::string(256, '\0'));

  std::strcpy(state->ImagePath, "/games/disc one.bin.bz");
  SaveSettings(*state);
  auto fresh = MakeAppState();
  LoadSettings(*fresh);
  EXPECT_STREQ(fresh->ImagePath, "/games/disc one.bin.bz");

  // A stored value without a terminating zero is cut to the buffer.
  std::ofstream(file, std::ios::binary) << std::string(300, 'a');
  LoadSettings(*fresh);
  EXPECT_EQ(std::strlen(fresh->ImagePath), 255u);
}

using testing::ScopedEnv;

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
    ASSERT_TRUE(one.Make("", &error));
    ASSERT_TRUE(two.Make("", &error));
    EXPECT_NE(one.Path(), two.Path());
    EXPECT_EQ(one.Path().rfind(tmp.Path().string() + "/", 0), 0u) << one.Path();
    std::ofstream(one.Path() + "/track0000.wav") << "x";
    ASSERT_TRUE(kept.Make(tmp.File("mine/audio"), &error));
    std::ofstream(kept.Path() + "/track02.raw") << "x";
  }
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(tmp.Path())) {
    left.push_back(e.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"mine"});
  EXPECT_TRUE(std::filesystem::exists(tmp.File("mine/audio/track02.raw")));
}

// The encoder is audio/lame under the current directory, else lame on PATH, always as an absolute
// path; a current directory that was deleted never turns a name into one under "/".
TEST(Encoder, FoundAsAnAbsolutePathAlsoWhenTheCurrentDirectoryIsGone) {
  testing::TempDir dir;
  PutScript(dir.File("bin/lame"), "exit 0");
  PutScript(dir.File("here/audio/lame"), "exit 0");
  ScopedEnv path("PATH", "bin:" + dir.File("bin"));
  {
    testing::ScopedChdir inside(dir.File("here"));
    EXPECT_EQ(FindEncoder(), dir.File("here/audio/lame"));
  }
  {
    testing::ScopedChdir inside(dir.Path());
    EXPECT_EQ(FindEncoder(), dir.File("bin/lame"));  // the relative entry, taken absolute
  }
  std::filesystem::create_directories(dir.File("gone"));
  testing::ScopedChdir inside(dir.File("gone"));
  std::filesystem::remove(dir.File("gone"));
  EXPECT_EQ(FindEncoder(), dir.File("bin/lame"));
  ScopedEnv relativeOnly("PATH", "bin:");
  EXPECT_EQ(FindEncoder(), "");
  WorkFolder relative;
  int error = 0;
  EXPECT_FALSE(relative.Make("audio", &error));
  EXPECT_FALSE(std::filesystem::exists("/audio"));
}

TEST(Encoder, RunSaysHowItEndedAndRunsInItsOwnProcessGroup) {
  testing::TempDir dir;
  const std::string out = dir.File("out");
  const struct {
    const char* body;
    bool ok;
    const char* why;
  } cases[] = {
      {"cut -d' ' -f5 /proc/$$/stat > \"$1\"", true, ""},
      {"exit 3", false, "exit status 3"},
      {"kill -9 $$", false, "killed by signal 9"},
      {nullptr, false, "cannot start it: No such file or directory"},
  };
  for (const auto& c : cases) {
    const std::string encoder = dir.File("lame");
    std::filesystem::remove(encoder);
    if (c.body != nullptr) PutScript(encoder, c.body);
    std::string why;
    EXPECT_EQ(RunEncoder(encoder, {out}, &why), c.ok) << c.why;
    EXPECT_EQ(why, c.why);
  }
  // The first case wrote its process group: not ours, so Ctrl-C in the terminal misses it.
  std::ifstream in(out);
  pid_t group = 0;
  ASSERT_TRUE(in >> group);
  EXPECT_NE(group, ::getpgrp());

  // A hard exit kills the running encoder with its children.
  PutScript(dir.File("lame"), "touch \"$1\"; sleep 30; exit 0");
  std::filesystem::remove(out);
  std::atomic<bool> done = false;
  std::string why;
  std::thread run([&] {
    RunEncoder(dir.File("lame"), {out}, &why);
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
