#include "packing/block_restore.h"

#include <cstring>
#include <memory>
#include <vector>

#include "packing/block_codec.h"

namespace quarnel {

namespace {

// The pipeline's steps over one batch of blocks: stored blocks read into slots, decompressed
// into the matching slots of `raw_`, then handed over in order.
class BatchRestore {
 public:
  BatchRestore(CompressedReader& reader, unsigned threads, const RestoreSteps& steps,
               bool* readFailed)
      : reader_(reader),
        steps_(steps),
        readFailed_(readFailed),
        n_(reader.Blocks()),
        rawLength_(reader.Kind().rawBlockLength),
        storedRoom_(2 * rawLength_),
        batchBlocks_(reader.Kind().batchBlocks),
        stored_(batchBlocks_ * storedRoom_),
        raw_(batchBlocks_ * rawLength_),
        jobs_(batchBlocks_) {
    for (unsigned t = 0; t < threads; ++t) codecs_.push_back(std::make_unique<BlockDecompressor>());
    *readFailed_ = false;
  }

  size_t BatchBlocks() const { return batchBlocks_; }

  bool Read(size_t slot) {
    if (slot == 0) EndBatch();  // the next batch overwrites `raw_`
    if (next_ >= n_) return false;
    if (!reader_.ReadBlock(next_, stored_.data() + slot * storedRoom_)) {
      *readFailed_ = true;
      return false;
    }
    jobs_[slot] = {next_++, 0, false};
    return true;
  }

  void Decode(unsigned thread, size_t slot) {
    Job& job = jobs_[slot];
    job.good = reader_.DecodeBlock(*codecs_[thread], stored_.data() + slot * storedRoom_,
                                   reader_.Entries()[job.block].length,
                                   raw_.data() + slot * rawLength_, &job.produced);
  }

  // Hands slot `slot` over; a damaged block goes as a whole raw block of zeros.
  bool Take(size_t slot) {
    const Job& job = jobs_[slot];
    uint8_t* bytes = raw_.data() + slot * rawLength_;
    const bool shortBeforeLast = job.good && job.produced < rawLength_ && job.block + 1 != n_;
    RestoredBlock block{job.block,       bytes,       job.produced, !job.good || shortBeforeLast,
                        shortBeforeLast, job.produced};
    if (block.damaged) {
      std::memset(bytes, 0, rawLength_);
      block.length = rawLength_;
    }
    if (!steps_.take(block)) return false;
    batchBytes_ = slot * rawLength_ + block.length;
    done_ += 1;
    return true;
  }

  unsigned Progress() const {
    return n_ == 0 ? 100u : static_cast<unsigned>(uint64_t{100} * done_ / n_);
  }

  // Hands over the bytes taken since the batch began, before the next batch overwrites them.
  void EndBatch() {
    if (batchBytes_ != 0 && steps_.batchTaken) steps_.batchTaken(raw_.data(), batchBytes_);
    batchBytes_ = 0;
  }

 private:
  struct Job {
    uint32_t block;
    size_t produced;
    bool good;
  };

  CompressedReader& reader_;
  const RestoreSteps& steps_;
  bool* const readFailed_;
  const uint32_t n_;
  const size_t rawLength_;
  const size_t storedRoom_;
  const size_t batchBlocks_;
  std::vector<std::unique_ptr<BlockDecompressor>> codecs_;  // one per thread
  std::vector<uint8_t> stored_;
  std::vector<uint8_t> raw_;
  std::vector<Job> jobs_;
  uint32_t next_ = 0, done_ = 0;
  size_t batchBytes_ = 0;  // taken from the start of `raw_` since the batch began
};

}  // namespace

PipelineEnd RestoreBlocks(Reporter& reporter, CompressedReader& reader, BlockWorkers& workers,
                          const RestoreSteps& steps, bool* readFailed) {
  BatchRestore batch(reader, workers.Threads(), steps, readFailed);
  BlockSteps pipeline;
  pipeline.read = [&](size_t slot) { return batch.Read(slot); };
  pipeline.code = [&](unsigned thread, size_t slot) { batch.Decode(thread, slot); };
  pipeline.write = [&](size_t slot) { return batch.Take(slot); };
  pipeline.progress = [&] { return batch.Progress(); };
  const PipelineEnd end = RunBlockPipeline(reporter, workers, batch.BatchBlocks(), pipeline);
  batch.EndBatch();
  return end;
}

}  // namespace quarnel
