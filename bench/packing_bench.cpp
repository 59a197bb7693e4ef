// Measures "Process ISO" in each kind and "Uncompress ISO" on a generated image with a realistic
// mix of sectors, beside naive loops over the same files in the same run: a fresh compress() per
// sector, a fresh BZ2_bzBuffToBuffCompress() per 10 sectors, a fresh uncompress() per block.
//
//   quarnel_packing_bench [--sectors N] [--dir DIR]
#include <bzlib.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "analysis/analyse_disc.h"
#include "bench_support.h"
#include "cli/cli_reporter.h"
#include "packing/compressed_format.h"
#include "packing/process_disc.h"
#include "packing/restore_image.h"
#include "packing/verify_image.h"
#include "synthetic/disc_builder.h"

namespace {

using quarnel::SECTOR_SIZE;
using quarnel::bench::Clock;
using quarnel::bench::Seconds;

// Structured file data, incompressible video-like sectors, zero sectors and CD audio.
quarnel::DiscBuilder BuildImage(uint32_t sectors) {
  quarnel::DiscBuilder disc;
  std::mt19937 rng(42);
  std::vector<uint8_t> payload(2324);
  while (disc.SectorCount() < sectors) {
    const uint32_t kind = rng() % 20;
    const uint32_t run = std::min<uint32_t>(20 + rng() % 200, sectors - disc.SectorCount());
    for (uint32_t i = 0; i < run; ++i) {
      if (kind < 8) {  // tables and text
        for (size_t k = 0; k < 2048; ++k) {
          payload[k] = k % 16 < 4
                           ? static_cast<uint8_t>((disc.SectorCount() + k / 16) >> (8 * (k % 4)))
                           : static_cast<uint8_t>("LEVEL_DATA.BIN  "[k % 16]);
        }
        disc.AddSector(0, 0, 0x08, 0, payload);
      } else if (kind < 13) {  // compressed pictures and movies
        for (uint8_t& b : payload) b = static_cast<uint8_t>(rng());
        disc.AddSector(1, 1, 0x48, 0, payload);
      } else if (kind < 16) {
        disc.AddSector(0, 0, 0x08, 0);
      } else {
        disc.AddAudioSectors(1, 440.0 + kind * 50);
      }
    }
  }
  return disc;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes(std::filesystem::file_size(path));
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr || std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::exit(1);
  std::fclose(f);
  return bytes;
}

// The naive loops read the image with the C library's buffering and write with it, one compressor
// call per block from scratch.
double NaiveCompress(const std::string& image, const std::string& out, bool bzip) {
  const auto start = Clock::now();
  std::FILE* in = std::fopen(image.c_str(), "rb");
  std::FILE* data = std::fopen(out.c_str(), "wb");
  std::FILE* table = std::fopen((out + ".t").c_str(), "wb");
  const size_t raw = bzip ? 10 * SECTOR_SIZE : SECTOR_SIZE;
  std::vector<uint8_t> block(raw), packed(2 * raw);
  uint32_t offset = 0;
  size_t got;
  while ((got = std::fread(block.data(), 1, raw, in)) > 0) {
    size_t length;
    if (bzip) {
      unsigned dest = static_cast<unsigned>(packed.size());
      BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(packed.data()), &dest,
                               reinterpret_cast<char*>(block.data()), static_cast<unsigned>(got), 1,
                               0, 30);
      length = dest;
    } else {
      uLongf dest = packed.size();
      compress(packed.data(), &dest, block.data(), got);
      length = dest;
    }
    std::fwrite(&offset, 4, 1, table);
    std::fwrite(packed.data(), 1, length, data);
    offset += static_cast<uint32_t>(length);
  }
  std::fclose(in);
  std::fclose(data);
  std::fclose(table);
  return Seconds(start);
}

double NaiveUncompress(const std::string& dataPath, const std::string& out) {
  const auto start = Clock::now();
  const std::vector<uint8_t> table = ReadFile(dataPath + ".table");
  std::FILE* data = std::fopen(dataPath.c_str(), "rb");
  std::FILE* output = std::fopen(out.c_str(), "wb");
  std::vector<uint8_t> packed(2 * SECTOR_SIZE), raw(SECTOR_SIZE);
  for (size_t i = 0; i + 6 <= table.size(); i += 6) {
    const uint32_t offset = quarnel::GetU32(&table[i]);
    const uint32_t length = quarnel::GetU16(&table[i + 4]);
    std::fseek(data, offset, SEEK_SET);
    if (std::fread(packed.data(), 1, length, data) != length) std::exit(1);
    uLongf produced = SECTOR_SIZE;
    uncompress(raw.data(), &produced, packed.data(), length);
    std::fwrite(raw.data(), 1, produced, output);
  }
  std::fclose(data);
  std::fclose(output);
  return Seconds(start);
}

// A kind-2 image of a 700 MB disc made directly (every block one stored zero sector), and the
// best of three "info" readings of it: the side file and the section headers only.
double InfoOfLargeImage(const std::string& dir, uint32_t* blocks) {
  const uint32_t sectors = 700000000 / SECTOR_SIZE;
  std::vector<uint8_t> zero(SECTOR_SIZE, 0), packed(2 * SECTOR_SIZE);
  uLongf length = packed.size();
  compress(packed.data(), &length, zero.data(), zero.size());
  const std::string path = dir + "/quarnel-info-bench.bin.Z";
  std::FILE* data = std::fopen(path.c_str(), "wb");
  std::FILE* table = std::fopen((path + ".table").c_str(), "wb");
  for (uint32_t i = 0; i < sectors; ++i) {
    uint8_t entry[6];
    quarnel::PutU32(entry, static_cast<uint32_t>(i * length));
    quarnel::PutU16(entry + 4, static_cast<uint32_t>(length));
    std::fwrite(entry, 1, sizeof entry, table);
    std::fwrite(packed.data(), 1, length, data);
  }
  std::fclose(data);
  std::fclose(table);
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto start = Clock::now();
    const quarnel::ImageLayout layout = quarnel::InspectImage(path);
    best = std::min(best, Seconds(start));
    *blocks = layout.blocks;
    if (layout.Damaged()) std::exit(1);
  }
  std::filesystem::remove(path);
  std::filesystem::remove(path + ".table");
  return best;
}

struct Run {
  double seconds;
  uint64_t size;
};

Run ProcessKind(const std::string& image, quarnel::CompressionChoice choice, bool forceXa) {
  quarnel::CliReporter reporter(/*jsonMode=*/true, /*replaceFiles=*/true);
  quarnel::AnalysisResult analysed = quarnel::AnalyseDisc({.ImagePath = image}, reporter);
  if (forceXa) {  // the XA kind without ripping anything: a marked stream beyond the image
    analysed.analysis->MediaTable[quarnel::MEDIA_TABLE_SIZE - 1] =
        quarnel::MediaRecord{quarnel::MEDIA_XA, 0xFFFFFF00u, 0xFFFFFF01u, 0, 1, 0};
  }
  const auto start = Clock::now();
  const quarnel::ProcessReport r =
      quarnel::ProcessDisc(*analysed.analysis, {.compression = choice}, reporter);
  const double s = Seconds(start);
  return {s, std::filesystem::file_size(r.dataFile)};
}

}  // namespace

// The naive loops again in a fresh process, whose heap has not been shaped by the large buffers
// above: there glibc hands zlib's freed state back to the kernel after every block.
double NaiveInFreshProcess(const char* self, const std::string& mode, const std::string& image,
                           const std::string& out) {
  const std::string command =
      std::string("'") + self + "' --naive " + mode + " '" + image + "' '" + out + "'";
  std::FILE* p = popen(command.c_str(), "r");
  double seconds = 0;
  if (p == nullptr || std::fscanf(p, "%lf", &seconds) != 1) seconds = 0;
  if (p) pclose(p);
  return seconds;
}

int main(int argc, char** argv) {
  if (argc == 5 && !std::strcmp(argv[1], "--naive")) {
    const double s = !std::strcmp(argv[2], "uncompress")
                         ? NaiveUncompress(argv[3], argv[4])
                         : NaiveCompress(argv[3], argv[4], !std::strcmp(argv[2], "bzip2"));
    std::printf("%f\n", s);
    return 0;
  }
  uint32_t sectors = 127000;  // about 300 MB
  std::string dir = std::filesystem::temp_directory_path().string();
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--sectors") && i + 1 < argc) {
      sectors = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--dir") && i + 1 < argc) {
      dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: quarnel_packing_bench [--sectors N] [--dir DIR]\n");
      return 2;
    }
  }
  const std::string image = dir + "/quarnel-packing-bench.bin";
  std::string error;
  if (!BuildImage(sectors).Write(image, {}, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const double mb = double(sectors) * SECTOR_SIZE / 1e6;
  ReadFile(image);  // into the page cache
  std::printf("image: %.0f MB\n", mb);

  const double naiveZlib = NaiveCompress(image, dir + "/quarnel-naive.Z", false);
  const double naiveBzip = NaiveCompress(image, dir + "/quarnel-naive.bz", true);
  const double freshZlib = NaiveInFreshProcess(argv[0], "zlib", image, dir + "/quarnel-naive.Z");
  const double freshBzip = NaiveInFreshProcess(argv[0], "bzip2", image, dir + "/quarnel-naive.bz");
  struct Kind {
    const char* name;
    quarnel::CompressionChoice choice;
    bool forceXa;
    double naive;
    double fresh;
  } kinds[] = {{"kind 1 (.bz)  ", quarnel::CompressionChoice::Maximum, false, naiveBzip, freshBzip},
               {"kind 2 (.Z)   ", quarnel::CompressionChoice::Normal, false, naiveZlib, freshZlib},
               {"kind 3 (.ZNX) ", quarnel::CompressionChoice::Normal, true, naiveZlib, freshZlib}};
  for (const Kind& k : kinds) {
    const Run run = ProcessKind(image, k.choice, k.forceXa);
    std::printf(
        "Process ISO %s %7.1f MB/s  size %5.1f%%  naive loop %6.1f MB/s (fresh process %6.1f)  "
        "speed-up %.2f (%.2f)\n",
        k.name, mb / run.seconds, 100.0 * run.size / (mb * 1e6), mb / k.naive, mb / k.fresh,
        k.naive / run.seconds, k.fresh / run.seconds);
  }

  // Uncompress the .Z image made above (kind 2) both ways, best of three, each into a new file.
  std::filesystem::remove(image);
  double naive = 1e9, fresh = 1e9, ours = 1e9;
  for (int run = 0; run < 3; ++run) {
    std::filesystem::remove(dir + "/quarnel-naive.out");
    naive = std::min(naive, NaiveUncompress(image + ".Z", dir + "/quarnel-naive.out"));
    std::filesystem::remove(dir + "/quarnel-naive.out");
    fresh = std::min(fresh, NaiveInFreshProcess(argv[0], "uncompress", image + ".Z",
                                                dir + "/quarnel-naive.out"));
    std::filesystem::remove(image);
    quarnel::CliReporter reporter(/*jsonMode=*/true, /*replaceFiles=*/true);
    const auto start = Clock::now();
    quarnel::RestoreImage({image + ".Z", {}}, reporter);
    ours = std::min(ours, Seconds(start));
  }
  std::printf(
      "Uncompress ISO (.Z)    %7.1f MB/s               naive loop %6.1f MB/s (fresh process %6.1f) "
      " "
      "speed-up %.2f (%.2f)\n",
      mb / ours, mb / naive, mb / fresh, naive / ours, fresh / ours);

  // Verify restores the same image in memory: the price of checking without writing.
  double verify = 1e9;
  for (int run = 0; run < 3; ++run) {
    quarnel::CliReporter reporter(/*jsonMode=*/true, /*replaceFiles=*/false);
    const auto start = Clock::now();
    const quarnel::VerifyReport report =
        quarnel::VerifyImage(reporter, image + ".Z", quarnel::VerifyOptions{});
    verify = std::min(verify, Seconds(start));
    if (!report.Passed()) return 1;
  }
  std::printf(
      "Verify (.Z)            %7.1f MB/s (%.2f s)  Uncompress ISO to a file %7.1f MB/s (%.2f s)\n",
      mb / verify, verify, mb / ours, ours);
  uint32_t infoBlocks = 0;
  const double info = InfoOfLargeImage(dir, &infoBlocks);
  std::printf("info of a 700 MB disc's .Z image (%u blocks): %.1f ms\n", infoBlocks, info * 1e3);

  for (const char* suffix : {"", ".bz", ".bz.index", ".Z", ".Z.table", ".ZNX", ".ZNX.table"}) {
    std::filesystem::remove(image + suffix);
  }
  for (const char* name : {"quarnel-naive.Z", "quarnel-naive.Z.t", "quarnel-naive.bz",
                           "quarnel-naive.bz.t", "quarnel-naive.out"}) {
    std::filesystem::remove(dir + "/" + name);
  }
  return 0;
}
