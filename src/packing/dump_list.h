// The list of a dump's files, kept beside a compressed image (D.dump) when its audio tracks are
// kept losslessly: every file of the dump as it was (its size and checksums, the cue sheet
// included), which of them the blocks restore, and the FLAC files and cue sheet kept beside the
// image. "uncompress" restores the whole dump from it and checks every file against it; "verify"
// checks the FLACs and the cue sheet against it and names the dump's files to a DAT.
//
// Text, one field per line, a file name always last on its line (it may hold spaces, never a
// line feed or a tab):
//   quarnel-dump-1
//   data <name>                       the data track's file: the blocks restore it
//   ripped 0|1                        1: media were ripped, the data track file is not the dump's
//   prefix <length> <sha1>            a single image: the part before its audio tracks
//   file <size> <crc32> <md5> <sha1> <name>   every file of the dump, in the cue sheet's order
//   flac <name>                       every FLAC kept beside the image
//   cue <name>                        the cue sheet kept beside the image
//   end
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packing/dat_file.h"

namespace quarnel {

struct DumpList {
  std::string dataFile;  // a name among `files`
  bool ripped = false;
  uint64_t prefixLength = 0;  // 0: the blocks restore the data file whole
  std::string prefixSha1;
  std::vector<HeldFile> files;
  std::vector<std::string> flacs;
  std::string cueSheet;
  // The cue sheet's own bytes, so that it is never lost with the originals (empty: too large to
  // keep here, or none).
  std::string cueText;

  const HeldFile* Find(const std::string& name) const;
};

// A list larger than this is refused unread: 99 tracks with long names take a few kilobytes, and
// a cue sheet up to MAX_LISTED_CUE_TEXT twice that in hex.
constexpr uint64_t MAX_DUMP_LIST_SIZE = 256 << 10;
constexpr size_t MAX_LISTED_CUE_TEXT = 64 << 10;

std::string FormatDumpList(const DumpList& list);
// Whether `bytes` are the listed cue sheet's.
bool IsListedCueSheet(const DumpList& list, const std::string& bytes);
// False with `why` when the text is no dump list, or holds a name that is no bare file name
// (BadFileNameReason), a file listed twice, a digest that is not hex, or more than 99 FLACs.
bool ParseDumpList(const std::string& text, DumpList* list, std::string* why);
// The bytes of the regular file at `path` when it holds at most `limit`: 0, else the errno of
// the failure (EFBIG: larger, or no regular file; EIO: it shrank while it was read).
int ReadSmallFile(const std::string& path, uint64_t limit, std::string* bytes);
// Reads and parses the list at `path`; ENOENT leaves `*exists` false and returns true.
bool ReadDumpList(const std::string& path, DumpList* list, bool* exists, std::string* why);

}  // namespace quarnel
