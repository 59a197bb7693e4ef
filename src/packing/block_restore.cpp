#include "packing/block_restore.h"

#include <cstring>
#include <memory>
#include <vector>

#include "packing/block_codec.h"

namespace quarnel {

PipelineEnd RestoreBlocks(Reporter& reporter, CompressedReader& reader, BlockWorkers& workers,
                          const RestoreSteps& steps, bool* readFailed) {
  std::vector<std::unique_ptr<BlockDecompressor>> codecs;
  for (unsigned t = 0; t < workers.Threads(); ++t) {
    codecs.push_back(std::make_unique<BlockDecompressor>());
  }
  const uint32_t n = reader.Blocks();
  const size_t rawLength = reader.Kind().rawBlockLength;
  const size_t storedRoom = 2 * rawLength;
  const size_t batchBlocks = reader.Kind().batchBlocks;
  std::vector<uint8_t> stored(batchBlocks * storedRoom);
  std::vector<uint8_t> raw(batchBlocks * rawLength);
  struct Job {
    uint32_t block;
    size_t produced;
    bool good;
  };
  std::vector<Job> jobs(batchBlocks);
  uint32_t next = 0, done = 0;
  size_t batchBytes = 0;  // taken from the start of `raw` since the batch began
  *readFailed = false;
  const auto endBatch = [&] {
    if (batchBytes != 0 && steps.batchTaken) steps.batchTaken(raw.data(), batchBytes);
    batchBytes = 0;
  };

  BlockSteps pipeline;
  pipeline.read = [&](size_t slot) {
    if (slot == 0) endBatch();  // the next batch overwrites `raw`
    if (next >= n) return false;
    if (!reader.ReadBlock(next, stored.data() + slot * storedRoom)) {
      *readFailed = true;
      return false;
    }
    jobs[slot] = {next++, 0, false};
    return true;
  };
  pipeline.code = [&](unsigned thread, size_t slot) {
    Job& job = jobs[slot];
    job.good = reader.DecodeBlock(*codecs[thread], stored.data() + slot * storedRoom,
                                  reader.Entries()[job.block].length, raw.data() + slot * rawLength,
                                  &job.produced);
  };
  pipeline.write = [&](size_t slot) {
    const Job& job = jobs[slot];
    uint8_t* bytes = raw.data() + slot * rawLength;
    const bool shortBeforeLast = job.good && job.produced < rawLength && job.block + 1 != n;
    RestoredBlock block{job.block,       bytes,       job.produced, !job.good || shortBeforeLast,
                        shortBeforeLast, job.produced};
    if (block.damaged) {
      std::memset(bytes, 0, rawLength);
      block.length = rawLength;
    }
    if (!steps.take(block)) return false;
    batchBytes = slot * rawLength + block.length;
    done += 1;
    return true;
  };
  pipeline.progress = [&] {
    return n == 0 ? 100u : static_cast<unsigned>(uint64_t{100} * done / n);
  };
  const PipelineEnd end = RunBlockPipeline(reporter, workers, batchBlocks, pipeline);
  endBatch();
  return end;
}

}  // namespace quarnel
