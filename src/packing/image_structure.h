// What a compressed image's side file and section headers say, and every fault of that structure:
// the one check that "Uncompress ISO", verify and info share, so that no command restores what
// verify calls damaged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packing/compressed_format.h"
#include "packing/compressed_reader.h"

namespace quarnel {

// One fault, with the part of the image it names: "block 12", "side file", "XA section entry 3",
// "audio track section", "data file", "source".
struct ImageProblem {
  std::string where;
  std::string what;
  bool limit = false;  // only the emulator's reader limits are passed; the image restores here
  // In a block or a section's file that does not decode, or in the comparison with a source: the
  // structure holds, and the image restores with the damage.
  bool content = false;

  std::string Text() const { return where + ": " + what; }
};

enum class ProblemKind { Structure, Content, Limit };

// A section behind the blocks as its header gives it.
struct SectionInfo {
  bool xa = false;                        // the XA stream section, else the audio track section
  uint64_t at = 0;                        // offset of its count field
  uint64_t end = 0;                       // where its last file ends
  std::vector<SectionEntryInfo> entries;  // `file` stays empty
};

struct ImageLayout {
  bool opened = false;
  std::string error;  // why the image could not be opened, one sentence
  // What completing an interrupted commit of the image did on opening; "" when there was none.
  std::string repairLine;
  CompressionMode mode = CompressionMode::None;
  std::string dataFile;
  std::string sideFile;
  uint32_t blocks = 0;
  uint64_t dataSize = 0;
  uint64_t sideSize = 0;
  uint64_t blockAreaEnd = 0;
  // The bytes "Uncompress ISO" writes; InspectImage decodes the last block for it.
  uint64_t restoredSize = 0;
  uint32_t largestBlock = 0;    // stored bytes
  uint32_t xaTaggedBlocks = 0;  // ".ZNX" blocks holding ripped XA sectors
  std::vector<SectionInfo> sections;
  std::vector<ImageProblem> problems;
  uint32_t moreProblems = 0;       // found past the ones kept
  uint32_t structureProblems = 0;  // of the structure, kept or only counted

  bool SideFileWithinLimit() const { return sideSize <= EMULATOR_SIDE_FILE_LIMIT; }
  bool BlocksWithinLimit() const { return largestBlock <= EMULATOR_STORED_BLOCK_LIMIT; }
  // Problems other than the reader limits.
  bool Damaged() const;
  // Problems of the side file, the sections' entries or the data file's layout: nothing can be
  // restored from it with confidence.
  bool StructureDamaged() const { return structureProblems != 0; }
  // "side file: ... (and 2 more problems)": the first structure problem, for a one-line refusal.
  std::string StructureSummary() const;
  bool HasAudioTrackSection() const;
};

// Problems past this many are only counted.
constexpr size_t MAX_IMAGE_PROBLEMS = 100;

void AddProblem(ImageLayout& layout, std::string where, std::string what,
                ProblemKind kind = ProblemKind::Structure);

// The words of a problem's text: "block 12", "4096", "sectors 10-20".
std::string Block(uint32_t i);
std::string Num(uint64_t n);
std::string Sectors(uint32_t first, uint32_t last);

// Takes what the reader's Open() or OpenWritten() gave: names, sizes and the repair line, or why
// it failed (a refusal of a damaged side file is also the image's problem). True when opened.
bool TakeOpened(const CompressedReader& reader, ImageLayout& layout, bool opened);

// Whether the files the sections hold are decoded (an MP3 must decode from end to end, an XA
// record may hold a WAV) or only checked for their place.
enum class SoundFiles { Placed, Decoded };

// Everything but the blocks' contents: the side file's entries and tags, the sections, their
// entries' sectors (XA records inside the block area, audio tracks behind it, in order, apart and
// within 99:59:74), and the bytes of the data file that belong to nothing.
void CheckImageStructure(CompressedReader& reader, ImageLayout& layout, SoundFiles sound);

// Decompresses the last block alone, which gives the restored size (every other block is whole);
// one that cannot be read or does not decompress is a problem and counts whole.
void MeasureRestoredSize(CompressedReader& reader, ImageLayout& layout);

// The restored image's sectors, a partial last one included.
uint64_t RestoredSectors(const ImageLayout& layout);

}  // namespace quarnel
