// The block loop that writing and restoring a compressed image share: blocks are read in order on
// the calling thread, coded a batch at a time on every core, then written in order, each followed
// by its progress, a pump of the window and the stop test.
#pragma once

#include <cstddef>
#include <functional>

#include "common/reporter.h"
#include "packing/block_workers.h"

namespace quarnel {

struct BlockSteps {
  // Reads the next block into batch slot `slot`; false when there is none left (the end, or a
  // read that failed: the caller tells which).
  std::function<bool(size_t slot)> read;
  // Codes slot `slot` on any thread; `thread` picks the caller's per-thread codec.
  std::function<void(unsigned thread, size_t slot)> code;
  // Writes slot `slot`; false ends the run as failed.
  std::function<bool(size_t slot)> write;
  // The progress bar's position once the block just written is done.
  std::function<unsigned()> progress;
};

enum class PipelineEnd { Finished, Stopped, Failed };

// `batchBlocks` slots are read before each coding round.
PipelineEnd RunBlockPipeline(Reporter& reporter, BlockWorkers& workers, size_t batchBlocks,
                             const BlockSteps& steps);

}  // namespace quarnel
