// Reading the regular files kept beside a compressed image and those of a dump, whole and without
// waiting on what is no regular file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarnel {

// Reads `size` bytes at `offset` whole, past interrupted and short reads; false with `error` set
// (0: the file ends first).
bool PreadAll(int fd, uint64_t offset, void* to, size_t size, int* error);

}  // namespace quarnel
