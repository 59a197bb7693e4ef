// Measures the FLAC files of complete dumps on generated CD audio (three tracks of music-like
// tones under noise): EncodeFlacs (two workers a core) against the flac command run on the same raw
// tracks one after another (as a user would) and all at once, then restoring every track with
// DecodeFlac (writing the file, checking SHA-1 and MD5) against `flac -d` of the same FLACs.
//
//   quarnel_flac_bench [--seconds S]   (length of the first track; the others run 15 s and 30 s
//                                       longer; default 200)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "packing/flac_tracks.h"

extern char** environ;

namespace {

using quarnel::bench::Clock;
using quarnel::bench::Seconds;

// A chord that changes every two seconds, panned differently on each side, with a slow swell and
// a little noise: stereo music as a disc's CD audio holds it.
std::vector<uint8_t> MakeTrack(uint32_t seconds, uint32_t seed) {
  const size_t frames = size_t(seconds) * 44100;
  std::vector<uint8_t> pcm(frames * 4);
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0, 300);
  double hz[3] = {220, 277, 330};
  for (size_t i = 0; i < frames; ++i) {
    if (i % 88200 == 0) {
      for (double& h : hz) h = 110.0 * std::pow(2.0, double(random() % 36) / 12.0);
    }
    const double t = double(i) / 44100;
    const double swell = 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 0.25 * t);
    const double a = std::sin(2 * std::numbers::pi * hz[0] * t);
    const double b = std::sin(2 * std::numbers::pi * hz[1] * t);
    const double c = std::sin(2 * std::numbers::pi * hz[2] * t);
    const auto left =
        int16_t(std::lround(swell * (7000 * a + 5000 * b + 2000 * c) + noise(random)));
    const auto right =
        int16_t(std::lround(swell * (3000 * a + 5000 * b + 6000 * c) + noise(random)));
    pcm[4 * i] = uint8_t(left);
    pcm[4 * i + 1] = uint8_t(uint16_t(left) >> 8);
    pcm[4 * i + 2] = uint8_t(right);
    pcm[4 * i + 3] = uint8_t(uint16_t(right) >> 8);
  }
  return pcm;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

bool Wait(pid_t pid) {
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

std::vector<std::string> FlacEncodeArgs(const std::string& raw, const std::string& out) {
  return {"flac",
          "-5",
          "-f",
          "-s",
          "--force-raw-format",
          "--endian=little",
          "--sign=signed",
          "--channels=2",
          "--bps=16",
          "--sample-rate=44100",
          "-o",
          out,
          raw};
}

// Runs one flac command per track, one after another or all at once.
bool RunFlac(const std::vector<std::vector<std::string>>& commands, bool parallel) {
  std::vector<pid_t> running;
  bool ok = true;
  for (const auto& command : commands) {
    running.push_back(Spawn(command));
    if (!parallel) ok = Wait(running.back()) && ok;
  }
  if (parallel) {
    for (const pid_t pid : running) ok = Wait(pid) && ok;
  }
  return ok;
}

// CPU seconds used so far by this process's threads and its finished children: unlike the wall
// time, not inflated when others share the machine.
double CpuSeconds() {
  double total = 0;
  for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    ::getrusage(who, &usage);
    total += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

struct Timing {
  double wall = 1e300, cpu = 1e300;  // best of the rounds
};

}  // namespace

int main(int argc, char** argv) {
  uint32_t seconds = 200;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      seconds = uint32_t(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: quarnel_flac_bench [--seconds S]\n");
      return 2;
    }
  }
  if (std::system("command -v flac >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "the flac command is needed to compare against\n");
    return 1;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "quarnel-flac-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const std::filesystem::path dir = pattern;

  std::vector<std::string> tracks;
  double mb = 0;
  for (uint32_t t = 0; t < 3; ++t) {
    const std::vector<uint8_t> pcm = MakeTrack(seconds + 15 * t, t + 1);
    tracks.push_back((dir / ("Game (Track " + std::to_string(t + 2) + ").bin")).string());
    if (!WriteFile(tracks.back(), pcm)) return 1;
    mb += double(pcm.size()) / 1e6;
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::printf("%zu tracks, %.1f MB of CD audio, %u cores\n", tracks.size(), mb, cores);

  std::vector<quarnel::FlacJob> jobs;
  for (const std::string& t : tracks) {
    quarnel::FlacJob job;
    job.source = t;
    job.range.file = std::filesystem::path(t).filename().string();
    job.range.length = std::filesystem::file_size(t);
    job.flacPath = t + ".flac";
    jobs.push_back(std::move(job));
  }
  std::vector<std::vector<std::string>> cliEncodes, cliDecodes;
  for (const std::string& t : tracks) {
    cliEncodes.push_back(FlacEncodeArgs(t, t + ".cli.flac"));
    cliDecodes.push_back({"flac", "-d", "-f", "-s", "-o", t + ".cli.wav", t + ".flac"});
  }
  uint64_t ourBytes = 0;
  const auto encode = [&](unsigned threads) {
    const auto results = quarnel::EncodeFlacs(jobs, threads, nullptr, nullptr);
    ourBytes = 0;
    for (const auto& r : results) {
      if (!r.ok) std::fprintf(stderr, "%s\n", r.error.c_str());
      ourBytes += r.flacBytes;
    }
    return std::all_of(results.begin(), results.end(), [](const auto& r) { return r.ok; });
  };
  const auto restore = [&] {
    for (const auto& job : jobs) {
      const int fd = ::open((job.source + ".restored").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const auto sink = [fd](const uint8_t* p, size_t n) {
        return ::write(fd, p, n) == ssize_t(n);
      };
      std::string error;
      const bool ok = fd >= 0 && quarnel::DecodeFlac(job.flacPath, nullptr, sink, nullptr, &error);
      if (fd >= 0) ::close(fd);
      if (!ok) std::fprintf(stderr, "%s\n", error.c_str());
      if (!ok) return false;
    }
    return true;
  };

  // The machine may be shared: every round measures each contender in turn, and the best round
  // of each counts.
  const struct {
    const char* name;
    std::function<bool()> run;
  } contenders[] = {
      {"encode  EncodeFlacs, two per core", [&] { return encode(0); }},
      {"        EncodeFlacs, one core", [&] { return encode(1); }},
      {"        flac -5, one after another", [&] { return RunFlac(cliEncodes, false); }},
      {"        flac -5, all at once", [&] { return RunFlac(cliEncodes, true); }},
      {"restore DecodeFlac + SHA-1 to a file", restore},
      {"        flac -d to WAV", [&] { return RunFlac(cliDecodes, false); }},
  };
  std::vector<Timing> best(std::size(contenders));
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < best.size(); ++i) {
      const auto start = Clock::now();
      const double cpu = CpuSeconds();
      if (!contenders[i].run()) {
        std::fprintf(stderr, "%s failed\n", contenders[i].name);
        return 1;
      }
      best[i].wall = std::min(best[i].wall, Seconds(start));
      best[i].cpu = std::min(best[i].cpu, CpuSeconds() - cpu);
    }
  }
  uint64_t cliBytes = 0;
  for (const std::string& t : tracks) cliBytes += std::filesystem::file_size(t + ".cli.flac");
  std::printf("FLAC size: ours %.1f%% of the raw tracks, flac -5 %.1f%%\n",
              100.0 * double(ourBytes) / (mb * 1e6), 100.0 * double(cliBytes) / (mb * 1e6));
  std::printf("%-38s %9s %7s %s\n", "", "wall MB/s", "CPU s", "ours faster by (wall)");
  for (size_t i = 0; i < best.size(); ++i) {
    std::printf("%-38s %9.1f %7.2f", contenders[i].name, mb / best[i].wall, best[i].cpu);
    const size_t ours = i < 4 ? 0 : 4;
    if (i != ours && i != 1) std::printf(" %.2fx", best[i].wall / best[ours].wall);
    std::printf("\n");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
