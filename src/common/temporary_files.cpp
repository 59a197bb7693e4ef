#include "common/temporary_files.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

namespace quarnel {

namespace {

struct Slot {
  std::atomic<int> used{0};  // 0 free, 1 being filled, 2 listed
  char path[TEMPORARY_PATH_SIZE];
};

Slot slots[TEMPORARY_FILE_SLOTS];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots");

}  // namespace

int RegisterTemporaryFile(const char* path) {
  const size_t n = std::strlen(path);
  if (n >= TEMPORARY_PATH_SIZE) return -1;
  for (int i = 0; i < TEMPORARY_FILE_SLOTS; ++i) {
    int expected = 0;
    if (!slots[i].used.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(slots[i].path, path, n + 1);
    slots[i].used.store(2);
    return i;
  }
  return -1;
}

void ForgetTemporaryFile(int slot) {
  if (slot >= 0 && slot < TEMPORARY_FILE_SLOTS) slots[slot].used.store(0);
}

void UnlinkTemporaryFiles() {
  for (Slot& s : slots) {
    if (s.used.load() == 2) ::unlink(s.path);
  }
}

}  // namespace quarnel
