#include "packing/block_pipeline.h"

namespace quarnel {

PipelineEnd RunBlockPipeline(AppState& state, Window& window, BlockWorkers& workers,
                             size_t batchBlocks, const BlockSteps& steps) {
  state.StopRequested = 0;
  bool more = true;
  while (more) {
    size_t filled = 0;
    while (filled < batchBlocks && (more = steps.read(filled))) ++filled;
    workers.Run(filled, steps.code);
    for (size_t slot = 0; slot < filled; ++slot) {
      if (!steps.write(slot)) return PipelineEnd::Failed;
      window.SetProgress(steps.progress());
      window.PumpMessages();
      if (state.StopRequested) return PipelineEnd::Stopped;
    }
  }
  return PipelineEnd::Finished;
}

}  // namespace quarnel
