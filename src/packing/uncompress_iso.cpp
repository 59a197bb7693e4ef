#include "packing/uncompress_iso.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/output_file.h"
#include "common/report.h"
#include "packing/block_codec.h"
#include "packing/block_workers.h"
#include "packing/compressed_format.h"

namespace quarnel {

namespace {

// Reads the data file forward through a large window: the blocks lie one after the other.
class DataFile {
 public:
  ~DataFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Open(const char* path) {
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
      error_ = errno;
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      error_ = EISDIR;
      return false;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    window_.resize(WINDOW);
    return true;
  }
  uint64_t Size() const { return size_; }
  int Error() const { return error_; }

  // Copies [offset, offset + length) into `out`; the range must lie inside the file.
  bool Read(uint64_t offset, size_t length, uint8_t* out) {
    if (length == 0) return true;  // an empty block: `out` may be null
    if (offset < windowStart_ || offset + length > windowStart_ + windowLength_) {
      windowStart_ = offset;
      windowLength_ = 0;
      const size_t want = static_cast<size_t>(std::min<uint64_t>(WINDOW, size_ - offset));
      while (windowLength_ < want) {
        const ssize_t n = ::pread(fd_, window_.data() + windowLength_, want - windowLength_,
                                  static_cast<off_t>(offset + windowLength_));
        if (n > 0) {
          windowLength_ += static_cast<size_t>(n);
        } else if (n == 0) {
          break;
        } else if (errno != EINTR) {
          error_ = errno;
          return false;
        }
      }
      if (windowLength_ < length) {
        error_ = EIO;  // the file shrank under us
        return false;
      }
    }
    std::memcpy(out, window_.data() + (offset - windowStart_), length);
    return true;
  }

 private:
  static constexpr size_t WINDOW = 1 << 20;
  int fd_ = -1;
  int error_ = 0;
  uint64_t size_ = 0;
  std::vector<uint8_t> window_;
  uint64_t windowStart_ = 0;
  size_t windowLength_ = 0;
};

// The whole block table, read in one piece.
bool ReadTable(const char* path, uint64_t size, std::unique_ptr<uint8_t[]>& table, int* error) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  table.reset(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
  if (!table) {
    ::close(fd);
    *error = ENOMEM;
    return false;
  }
  uint64_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, table.get() + done, size - done);
    if (n > 0) {
      done += static_cast<uint64_t>(n);
    } else if (n == 0 || errno != EINTR) {
      *error = n == 0 ? EIO : errno;
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

bool Exists(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0;
}

}  // namespace

UncompressResult UncompressIso(AppState& state, Window& window) {
  UncompressResult result;
  ReadControlText(window, IDC_PATH, state.ImagePath, sizeof state.ImagePath);
  result.dataFile = state.ImagePath;
  LogF(state, window, "- File Opened: %s", state.ImagePath);

  CompressionModeFromExtension(state);
  if (state.CompressionMode == MODE_NONE) state.CompressionMode = MODE_ZLIB;
  const uint32_t mode = state.CompressionMode;
  const CompressedKind& kind = KindOf(mode);

  const size_t pathLength = std::strlen(state.ImagePath);
  if (pathLength + std::strlen(kind.tableSuffix) >= IMAGE_PATH_SIZE) {
    LogF(state, window, "ERROR: the path is too long for its block table's name: %s",
         state.ImagePath);
    result.failedFile = state.ImagePath;
    result.fileError = ENAMETOOLONG;
    result.failedAction = "open";
    return result;
  }
  char tablePath[IMAGE_PATH_SIZE];
  std::memcpy(tablePath, state.ImagePath, pathLength);
  std::strcpy(tablePath + pathLength, kind.tableSuffix);

  struct stat st;
  if (::stat(tablePath, &st) != 0) {
    result.failedFile = tablePath;
    result.fileError = errno;
    result.failedAction = "open";
    return result;
  }
  const uint64_t tableSize = static_cast<uint64_t>(st.st_size);
  std::unique_ptr<uint8_t[]> table;
  int error = 0;
  if (S_ISDIR(st.st_mode) || tableSize / kind.entrySize > UINT32_MAX ||
      !ReadTable(tablePath, tableSize, table, &error)) {
    if (error == 0) error = S_ISDIR(st.st_mode) ? EISDIR : EFBIG;
    LogF(state, window, "ERROR: cannot read %s: %s", tablePath, std::strerror(error));
    result.failedFile = tablePath;
    result.fileError = error;
    result.failedAction = "read";
    return result;
  }

  // An index holds a closing offset behind its blocks, so it is never shorter than two offsets.
  if (mode == MODE_BZIP2 && tableSize < 8) {
    LogF(state, window, "ERROR: %s is too short to describe a block.", tablePath);
    result.failedFile = tablePath;
    result.fileError = EINVAL;
    result.failedAction = "read";
    return result;
  }
  const uint32_t n = mode == MODE_BZIP2 ? static_cast<uint32_t>(tableSize / 4 - 1)
                                        : static_cast<uint32_t>(tableSize / kind.entrySize);
  LogF(state, window, "- %d sectors founds.", static_cast<int>(n));

  DataFile data;
  if (!data.Open(state.ImagePath)) {
    result.failedFile = state.ImagePath;
    result.fileError = data.Error();
    result.failedAction = "open";
    return result;
  }

  const size_t cut = mode == MODE_BZIP2 ? 3 : mode == MODE_ZLIB_XA ? 4 : 2;
  state.ImagePath[pathLength - std::min(cut, pathLength)] = '\0';
  result.output = state.ImagePath;

  // The output is usually the very image the compressed one was made from, which may hold what
  // the compressed one lacks: it is replaced only with consent.
  if (Exists(state.ImagePath) && !window.ConfirmReplace(state.ImagePath)) {
    LogF(state, window, "ERROR: %s exists and was not replaced.", state.ImagePath);
    result.refused = true;
    return result;
  }
  OutputFile output;
  if (!output.Create(state.ImagePath)) {
    result.failedFile = state.ImagePath;
    result.fileError = output.Errno();
    result.failedAction = "create";
    return result;
  }

  result.started = true;
  window.EnableControl(IDC_PROCESS, false);
  window.EnableControl(IDC_UNCOMPRESS, false);
  state.StopRequested = 0;

  // The blocks are checked and read in order, decompressed a batch at a time on every core, then
  // written in order with their progress, pump and stop test one block at a time.
  BlockWorkers workers;
  std::vector<std::unique_ptr<BlockDecompressor>> decompressors;
  for (unsigned t = 0; t < workers.Threads(); ++t) {
    decompressors.push_back(std::make_unique<BlockDecompressor>());
  }
  const size_t rawLength = kind.rawBlockLength;
  const uint32_t batchBlocks = mode == MODE_BZIP2 ? 16 : 128;
  std::vector<uint8_t> packed;
  std::vector<uint8_t> raw(size_t{batchBlocks} * rawLength);
  struct Job {
    size_t packedAt;
    uint32_t length;
    size_t produced;
    bool good;
  };
  std::vector<Job> jobs;
  const auto decompress = [&](unsigned thread, size_t j) {
    Job& job = jobs[j];
    BlockDecompressor& d = *decompressors[thread];
    uint8_t* out = raw.data() + j * rawLength;
    job.good =
        mode == MODE_BZIP2
            ? d.Bzip2(packed.data() + job.packedAt, job.length, out, rawLength, &job.produced)
            : d.Zlib(packed.data() + job.packedAt, job.length, out, rawLength, &job.produced);
  };

  bool ended = false;
  for (uint32_t batchStart = 0; batchStart < n && !ended;) {
    // Collect the batch; a table entry that cannot be right ends the run after the blocks before
    // it.
    std::string problem;
    int readError = 0;
    jobs.clear();
    packed.clear();
    while (jobs.size() < batchBlocks && batchStart + jobs.size() < n) {
      const uint32_t i = batchStart + static_cast<uint32_t>(jobs.size());
      const uint8_t* entry = table.get() + size_t{i} * kind.entrySize;
      const uint32_t offset = GetU32(entry);
      uint32_t length = 0;
      char line[LOG_LINE_SIZE] = "";
      if (mode == MODE_BZIP2) {
        const uint32_t next = GetU32(entry + 4);
        if (next < offset) {
          std::snprintf(line, sizeof line, "ERROR: block %u of %s: its offsets go backwards.", i,
                        tablePath);
        }
        length = next - offset;
      } else {
        length = GetU16(entry + 4);
      }
      if (line[0] == '\0' && length > PACKED_BLOCK_SIZE) {
        std::snprintf(line, sizeof line,
                      "ERROR: block %u of %s: stored length %u is larger than a block.", i,
                      tablePath, length);
      } else if (line[0] == '\0' && uint64_t{offset} + length > data.Size()) {
        std::snprintf(line, sizeof line, "ERROR: block %u lies beyond the end of %s.", i,
                      result.dataFile.c_str());
      }
      if (line[0] != '\0') {
        problem = line;
        break;
      }
      const size_t at = packed.size();
      packed.resize(at + length);
      if (!data.Read(offset, length, packed.data() + at)) {
        problem = std::string("ERROR: cannot read ") + result.dataFile + ": " +
                  std::strerror(data.Error());
        readError = data.Error();
        break;
      }
      jobs.push_back({at, length, 0, false});
    }
    workers.Run(jobs.size(), decompress);

    for (size_t j = 0; j < jobs.size() && !ended; ++j) {
      const uint32_t i = batchStart + static_cast<uint32_t>(j);
      uint8_t* block = raw.data() + j * rawLength;
      size_t produced = jobs[j].produced;
      if (!jobs[j].good) {
        // Never stale buffer content: a damaged block comes out as a whole block of zeros.
        LogF(state, window, "ERROR: block %u of %s is damaged; written as %u zero bytes.", i,
             result.dataFile.c_str(), static_cast<unsigned>(rawLength));
        std::memset(block, 0, rawLength);
        produced = rawLength;
        result.damagedBlocks += 1;
      }
      if (!output.Write(block, produced)) {
        ended = true;
        break;
      }
      result.blocks += 1;
      window.SetProgress(static_cast<unsigned>(uint64_t{100} * (i + 1) / n));
      window.PumpMessages();
      if (state.StopRequested) {
        result.stopped = true;
        ended = true;
      }
    }
    if (!problem.empty() && !ended) {
      LogF(state, window, "%s", problem.c_str());
      if (readError != 0) {
        result.failedFile = result.dataFile;
        result.fileError = readError;
        result.failedAction = "read";
      } else {
        result.damaged = true;
      }
      ended = true;
    }
    batchStart += static_cast<uint32_t>(jobs.size());
  }

  const bool written = output.Close();
  if (!written) {
    LogF(state, window, "ERROR: cannot write %s: %s", result.output.c_str(),
         std::strerror(output.Errno()));
    result.failedFile = result.output;
    result.fileError = output.Errno();
    result.failedAction = "write";
  }
  if (!result.stopped && !result.damaged && result.failedFile.empty()) {
    window.SetControlText(IDC_PATH, state.ImagePath);
  }
  window.EnableControl(IDC_PROCESS, true);
  window.EnableControl(IDC_UNCOMPRESS, true);
  return result;
}

}  // namespace quarnel
