#include "packing/block_pipeline.h"

namespace quarnel {

PipelineEnd RunBlockPipeline(Reporter& reporter, BlockWorkers& workers, size_t batchBlocks,
                             const BlockSteps& steps) {
  bool more = true;
  while (more) {
    size_t filled = 0;
    while (filled < batchBlocks && (more = steps.read(filled))) ++filled;
    workers.Run(filled, steps.code);
    for (size_t slot = 0; slot < filled; ++slot) {
      if (!steps.write(slot)) return PipelineEnd::Failed;
      reporter.Progress(steps.progress());
      reporter.Pump();
      if (reporter.StopRequested()) return PipelineEnd::Stopped;
    }
  }
  return PipelineEnd::Finished;
}

}  // namespace quarnel
