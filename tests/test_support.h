// Shared helpers of the tests: a temporary folder and a one-call analysis of a built image.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "analysis/analyse_iso.h"
#include "common/app_state.h"
#include "synthetic/disc_builder.h"
#include "fake_window.h"

namespace quarnel::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarnel-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Runs a test inside a folder: "Process ISO" makes its work folder under the current directory.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::filesystem::path& to) : from_(std::filesystem::current_path()) {
    std::filesystem::current_path(to);
  }
  ~ScopedChdir() { std::filesystem::current_path(from_); }

 private:
  std::filesystem::path from_;
};

struct AnalysisOptions {
  bool ff8 = false;
  bool enhancedMovie = false;
  bool enhancedXa = false;
};

struct Analysis {
  std::unique_ptr<AppState> state = MakeAppState();
  FakeWindow window;
  AnalysisResult result;

  const MediaRecord& Media(uint32_t i) const { return state->MediaTable[i]; }
  const XaRecord& Xa(uint32_t i) const { return state->XaRecordTable[i]; }
  uint32_t MediaCount() const {
    uint32_t n = 0;
    while (n < MEDIA_TABLE_SIZE && state->MediaTable[n].kind != MEDIA_NONE) ++n;
    return n;
  }
};

inline void RunAnalysis(Analysis& a, const std::string& path, AnalysisOptions options = {}) {
  a.window.texts[IDC_PATH] = path;
  a.window.checks[IDC_FF8] = options.ff8;
  a.window.checks[IDC_ENHANCED_MOVIE] = options.enhancedMovie;
  a.window.checks[IDC_ENHANCED_XA] = options.enhancedXa;
  a.result = AnalyseIso(*a.state, a.window);
}

// Writes the builder's image (and cue sheet, when `cue` is given) to `dir` and analyses it.
inline void AnalyseBuilt(Analysis& a, const TempDir& dir, const DiscBuilder& disc,
                         AnalysisOptions options = {}, const std::string& cue = {}) {
  const std::string bin = dir.File("disc.bin");
  std::string error;
  if (!disc.Write(bin, {}, &error)) std::abort();
  if (!cue.empty()) {
    std::FILE* f = std::fopen(dir.File("disc.cue").c_str(), "wb");
    std::fwrite(cue.data(), 1, cue.size(), f);
    std::fclose(f);
  }
  RunAnalysis(a, bin, options);
}

}  // namespace quarnel::testing
