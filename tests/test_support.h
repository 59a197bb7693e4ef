// Shared helpers of the tests: a temporary folder and a one-call analysis of a built image.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "analysis/analyse_disc.h"
#include "synthetic/disc_builder.h"
#include "test_reporter.h"

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

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An executable shell script at `path`, its folder made: a stand-in for a program the run starts.
inline void PutScript(const std::string& path, const std::string& body) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Sets an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) old_ = old;
    had_ = old != nullptr;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { had_ ? ::setenv(name_, old_.c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

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

struct Analysis {
  TestReporter reporter;
  AnalysisResult result;

  // The findings; an empty analysis when the image was not opened.
  const DiscAnalysis& Found() const {
    static const std::unique_ptr<DiscAnalysis> empty = NewDiscAnalysis();
    return result.analysis ? *result.analysis : *empty;
  }
  DiscAnalysis& Marks() { return *result.analysis; }  // to set marks on what was found
  const MediaRecord& Media(uint32_t i) const { return Found().MediaTable[i]; }
  const XaRecord& Xa(uint32_t i) const { return Found().XaRecordTable[i]; }
  uint32_t MediaCount() const { return Found().MediaCount(); }
};

inline void RunAnalysis(Analysis& a, const std::string& path, AnalysisOptions options = {}) {
  options.ImagePath = path;
  a.result = AnalyseDisc(options, a.reporter);
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

// Data sectors around a movie and a two-channel XA stream; `tail` bytes make a partial last sector.
inline DiscBuilder MixedDisc(uint32_t tail = 0) {
  DiscBuilder disc;
  disc.AddDataSectors(30);
  disc.AddMovie(6, 8, 7, 1);
  disc.AddDataSectors(7);
  disc.AddXaStream(2, 6);
  disc.AddDataSectors(5);
  disc.MutableImage().resize(disc.Image().size() + tail, 0x5A);
  return disc;
}

// The sample disc written to `dir` as sample.bin and .cue; the layout is built once per process.
inline const SampleDiscLayout& WriteSample(const TempDir& dir) {
  static SampleDiscLayout layout;
  static const DiscBuilder disc = BuildSampleDisc(&layout);
  std::string error;
  if (!disc.Write(dir.File("sample.bin"), dir.File("sample.cue"), &error)) std::abort();
  return layout;
}

// One random damage of a compressed image's side file `t` or data file `d`.
inline void RandomDamage(std::mt19937& rng, std::vector<uint8_t>& t, std::vector<uint8_t>& d) {
  switch (rng() % 5) {
    case 0:
      t.resize(rng() % (t.size() + 1));
      break;
    case 1:
      d.resize(rng() % (d.size() + 1));
      break;
    case 2:
      for (int k = 0; k < 4; ++k) t[rng() % t.size()] = static_cast<uint8_t>(rng());
      break;
    case 3:
      for (int k = 0; k < 8; ++k) d[rng() % d.size()] = static_cast<uint8_t>(rng());
      break;
    default:
      for (uint8_t& b : t) b = static_cast<uint8_t>(rng());
      break;
  }
}

}  // namespace quarnel::testing
