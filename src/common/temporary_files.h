// The one process-wide list of temporary output files. A run registers each temporary it creates
// and forgets it once it is renamed or removed; a hard exit from a signal handler unlinks what is
// still listed, so that a killed run leaves no half-written file behind. Plain functions over a
// fixed table, because the signal handler may neither allocate nor lock.
#pragma once

namespace quarnel {

constexpr int TEMPORARY_FILE_SLOTS = 16;
constexpr int TEMPORARY_PATH_SIZE = 1024;

// Lists `path`; returns its slot, or -1 when the table is full or the path too long (the file is
// then only removed by its owner).
int RegisterTemporaryFile(const char* path);

// Takes slot `slot` off the list (-1 is ignored).
void ForgetTemporaryFile(int slot);

// Unlinks every listed file. Async-signal-safe: only unlink(2) on fixed buffers.
void UnlinkTemporaryFiles();

}  // namespace quarnel
