// The one process-wide list of temporary output files and folders. A run registers each
// temporary it creates and forgets it once it is renamed or removed; a hard exit from a signal
// handler removes what is still listed, so that a killed run leaves no half-written file behind.
// Plain functions over fixed tables, because the signal handler may neither allocate nor lock.
#pragma once

namespace quarnel {

constexpr int TEMPORARY_FILE_SLOTS = 16;
constexpr int TEMPORARY_FOLDER_SLOTS = 4;
constexpr int TEMPORARY_PATH_SIZE = 1024;

// Lists `path`; returns its slot, or -1 when the table is full or the path too long (the file is
// then only removed by its owner).
int RegisterTemporaryFile(const char* path);

// Takes slot `slot` off the list (-1 is ignored).
void ForgetTemporaryFile(int slot);

// Unlinks every listed file. Async-signal-safe: only unlink(2) on fixed buffers.
void UnlinkTemporaryFiles();

// The same for folders that hold only a run's own files: a hard exit removes their files, then
// the folders.
int RegisterTemporaryFolder(const char* path);
void ForgetTemporaryFolder(int slot);
void RemoveTemporaryFolders();

// Removes every entry of the open folder `folder` (files and links are unlinked, links never
// followed; empty subfolders are removed) and returns false when one could not be removed.
// Async-signal-safe: getdents64 into a buffer on the stack, no allocation.
bool RemoveFolderEntries(int folder);

// Removes the folder at `path` (a link there is not followed) with its entries.
// Async-signal-safe.
bool RemoveFolderWithFiles(const char* path);

}  // namespace quarnel
