#include "common/temporary_files.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quarnel {

namespace {

struct Slot {
  std::atomic<int> used{0};  // 0 free, 1 being filled, 2 listed
  char path[TEMPORARY_PATH_SIZE];
};

Slot fileSlots[TEMPORARY_FILE_SLOTS];
Slot folderSlots[TEMPORARY_FOLDER_SLOTS];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots");

template <int N>
int Register(Slot (&slots)[N], const char* path) {
  const size_t n = std::strlen(path);
  if (n >= TEMPORARY_PATH_SIZE) return -1;
  for (int i = 0; i < N; ++i) {
    int expected = 0;
    if (!slots[i].used.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(slots[i].path, path, n + 1);
    slots[i].used.store(2);
    return i;
  }
  return -1;
}

template <int N>
void Forget(Slot (&slots)[N], int slot) {
  if (slot >= 0 && slot < N) slots[slot].used.store(0);
}

// The kernel's record of one folder entry, as getdents64 fills the buffer.
struct DirectoryEntry64 {
  uint64_t inode;
  int64_t next;
  unsigned short length;
  unsigned char type;
  char name[];
};

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

int RegisterTemporaryFile(const char* path) {
  return Register(fileSlots, path);
}

void ForgetTemporaryFile(int slot) {
  Forget(fileSlots, slot);
}

void UnlinkTemporaryFiles() {
  for (Slot& s : fileSlots) {
    if (s.used.load() == 2) ::unlink(s.path);
  }
}

int RegisterTemporaryFolder(const char* path) {
  return Register(folderSlots, path);
}

void ForgetTemporaryFolder(int slot) {
  Forget(folderSlots, slot);
}

void RemoveTemporaryFolders() {
  for (Slot& s : folderSlots) {
    if (s.used.load() == 2) RemoveFolderWithFiles(s.path);
  }
}

bool RemoveFolderEntries(int folder) {
  const int savedErrno = errno;
  alignas(8) char buffer[4096];
  bool left = false;
  // Removing entries while reading a folder may make the kernel skip some on some file systems:
  // read it again from the start until a pass removes nothing.
  for (int pass = 0; pass < 16; ++pass) {
    if (::lseek(folder, 0, SEEK_SET) != 0) break;
    bool removed = false;
    left = false;
    long n;
    while ((n = ::syscall(SYS_getdents64, folder, buffer, sizeof buffer)) > 0) {
      for (long at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const DirectoryEntry64*>(buffer + at);
        at += entry->length;
        if (IsDotOrDotDot(entry->name)) continue;
        if (::unlinkat(folder, entry->name, 0) == 0 ||
            (errno == EISDIR && ::unlinkat(folder, entry->name, AT_REMOVEDIR) == 0)) {
          removed = true;
        } else {
          left = true;
        }
      }
    }
    if (n < 0) left = true;
    if (!removed) break;
  }
  errno = savedErrno;
  return !left;
}

bool RemoveFolderWithFiles(const char* path) {
  const int folder = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return false;
  RemoveFolderEntries(folder);
  ::close(folder);
  return ::rmdir(path) == 0;
}

}  // namespace quarnel
