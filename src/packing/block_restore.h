// The restore loop that "Uncompress ISO" and verify share: every block of a compressed image read
// in order, decompressed a batch at a time on every core, then handed over in order with the
// progress, pump and stop test of the block pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "common/reporter.h"
#include "packing/block_pipeline.h"
#include "packing/block_workers.h"
#include "packing/compressed_reader.h"

namespace quarnel {

// One restored block as "Uncompress ISO" writes it: a block that does not decompress, or that
// decompresses short anywhere but last (it would shift every later sector), comes as a whole raw
// block of zeros, never stale buffer content.
struct RestoredBlock {
  uint32_t index;
  const uint8_t* bytes;
  size_t length;
  bool damaged;
  bool shortBeforeLast;  // with `damaged`: it did decompress, to `decodedLength` bytes
  size_t decodedLength;
};

struct RestoreSteps {
  // Takes each block in order; false ends the run as failed.
  std::function<bool(const RestoredBlock& block)> take;
  // After the blocks of a batch were taken: their bytes, one after the other (may be empty).
  std::function<void(const uint8_t* bytes, size_t length)> batchTaken;
};

// `readFailed` tells a pipeline that ended early because the data file could not be read.
PipelineEnd RestoreBlocks(Reporter& reporter, CompressedReader& reader, BlockWorkers& workers,
                          const RestoreSteps& steps, bool* readFailed);

}  // namespace quarnel
