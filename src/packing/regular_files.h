// Reading the regular files kept beside a compressed image and those of a dump, whole and without
// waiting on what is no regular file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarnel {

// Opens a regular file to read: a FIFO or a device could block or never end. -1 with `why`, the
// cause alone (the caller names the file). `size` (may be null) receives its size.
int OpenRegular(const std::string& path, uint64_t* size, std::string* why);

// Reads `size` bytes at `offset` whole, past interrupted and short reads; false with `error` set
// (0: the file ends first).
bool PreadAll(int fd, uint64_t offset, void* to, size_t size, int* error);

}  // namespace quarnel
