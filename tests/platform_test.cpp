#include "common/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "test_support.h"

namespace quarnel {
namespace {

TEST(Settings, FirstStartStoresZerosAndTheStoredPathComesBack) {
  testing::TempDir dir;
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
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

  if (old) {
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
}

}  // namespace
}  // namespace quarnel
