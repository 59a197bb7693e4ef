#include "packing/block_workers.h"

#include <algorithm>
#include <system_error>

namespace quarnel {

namespace {
constexpr unsigned MAX_THREADS = 8;
}

BlockWorkers::BlockWorkers() {
  const unsigned cores = std::max(1u, std::min(MAX_THREADS, std::thread::hardware_concurrency()));
  // A thread that cannot be made leaves the run on fewer threads; the caller's always works.
  for (unsigned t = 1; t < cores; ++t) {
    try {
      threads_.emplace_back(&BlockWorkers::Worker, this, t);
    } catch (const std::system_error&) {
      break;
    }
  }
}

BlockWorkers::~BlockWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void BlockWorkers::Run(size_t count, const std::function<void(unsigned, size_t)>& work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    work_ = &work;
    count_ = count;
    next_ = 0;
    busy_ = threads_.size();
    ++generation_;
  }
  wake_.notify_all();
  Work(0);
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return busy_ == 0; });
  work_ = nullptr;
}

void BlockWorkers::Work(unsigned thread) {
  for (;;) {
    size_t i;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (next_ >= count_) return;
      i = next_++;
    }
    (*work_)(thread, i);
  }
}

void BlockWorkers::Worker(unsigned thread) {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
    }
    Work(thread);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
    }
    finished_.notify_one();
  }
}

}  // namespace quarnel
