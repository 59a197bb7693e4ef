#include "packing/dump_files.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "analysis/disc_input.h"
#include "common/checksums.h"
#include "common/image_file.h"
#include "common/image_path.h"
#include "packing/block_workers.h"
#include "packing/regular_files.h"

namespace quarnel {

namespace {

constexpr size_t PIECE = 4 << 20;

// Hashes one open file in pieces, the three digests of a piece on every core.
bool HashOne(int fd, uint64_t size, uint64_t prefixLength, Checksums& sums, Checksums& prefix,
             BlockWorkers& workers, std::vector<uint8_t>& buffer, LongOperation& operation,
             uint64_t& done, uint64_t total, std::string* why) {
  for (uint64_t at = 0; at < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(PIECE, size - at));
    const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(at));
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      *why = got == 0 ? "it shrank while it was read" : std::strerror(errno);
      return false;
    }
    const size_t n = static_cast<size_t>(got);
    workers.Run(Checksums::PARTS,
                [&](unsigned, size_t part) { sums.UpdatePart(part, buffer.data(), n); });
    if (at < prefixLength) {
      prefix.Update(buffer.data(), static_cast<size_t>(std::min<uint64_t>(n, prefixLength - at)));
    }
    at += n;
    done += n;
    if (operation.Step(done, total)) return true;
  }
  return true;
}

}  // namespace

DumpHashing HashDumpFiles(const std::vector<std::string>& paths, uint64_t prefixLength,
                          Reporter& reporter) {
  DumpHashing result;
  std::vector<int> fds;
  std::vector<uint64_t> sizes(paths.size());
  uint64_t total = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    std::string why;
    const int fd = OpenRegular(paths[i], &sizes[i], &why);
    if (fd < 0) {
      result.error = "cannot read " + paths[i] + ": " + why;
      break;
    }
    fds.push_back(fd);
    total += sizes[i];
  }
  BlockWorkers workers;
  Checksums sums, prefix;
  std::vector<uint8_t> buffer(PIECE);
  LongOperation operation(reporter);
  uint64_t done = 0;
  for (size_t i = 0; result.error.empty() && i < paths.size(); ++i) {
    std::string why;
    if (!HashOne(fds[i], sizes[i], i == 0 ? prefixLength : 0, sums, prefix, workers, buffer,
                 operation, done, total, &why)) {
      result.error = "cannot read " + paths[i] + ": " + why;
      break;
    }
    if (reporter.StopRequested()) {
      result.stopped = true;
      break;
    }
    const ChecksumDigests d = sums.Finish();
    result.files.push_back({BareName(paths[i]), d.size, d.crc32, d.md5, d.sha1});
    if (i == 0 && prefixLength != 0) result.prefixSha1 = prefix.Finish().sha1;
  }
  for (const int fd : fds) ::close(fd);
  return result;
}

bool DumpFilesOf(const std::string& given, std::vector<std::string>* paths, std::string* why) {
  DiscInput input;
  ImageFile image;
  if (!OpenDiscInput(given, input, image)) {
    *why = !input.refusal.empty() ? input.refusal
                                  : "cannot open " + given + ": " + std::strerror(input.openError);
    return false;
  }
  *paths = input.files;
  if (!input.cueSheet.empty()) paths->push_back(input.cueSheet);
  return true;
}

}  // namespace quarnel
