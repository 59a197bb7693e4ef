// Spreads the independent blocks of a batch over every core: the calling thread and a few workers
// that sleep between batches. Each thread keeps its own codec state, so the output does not depend
// on how many threads there are.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quarnel {

class BlockWorkers {
 public:
  BlockWorkers();
  ~BlockWorkers();
  BlockWorkers(const BlockWorkers&) = delete;
  BlockWorkers& operator=(const BlockWorkers&) = delete;

  // The number of threads Run uses, the caller's included; thread numbers run from 0 to this - 1.
  unsigned Threads() const { return static_cast<unsigned>(threads_.size()) + 1; }

  // Calls work(thread, i) once for every i below `count` and returns when all calls are done.
  void Run(size_t count, const std::function<void(unsigned thread, size_t i)>& work);

 private:
  void Work(unsigned thread);
  void Worker(unsigned thread);

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  const std::function<void(unsigned, size_t)>* work_ = nullptr;
  size_t count_ = 0;
  size_t next_ = 0;  // guarded by mutex_: batches are small, claims are rare
  uint64_t generation_ = 0;
  size_t busy_ = 0;
  bool quit_ = false;
};

}  // namespace quarnel
