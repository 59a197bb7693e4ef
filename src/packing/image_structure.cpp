#include "packing/image_structure.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "analysis/disc_input.h"
#include "packing/block_codec.h"
#include "packing/sound_check.h"

namespace quarnel {

namespace {

// The most audio tracks behind the data track (track 1).
constexpr uint32_t MAX_AUDIO_TRACK_ENTRIES = MAX_TRACKS - 1;
// A section's file never holds more than its sectors' sound: an XA sector decodes to at most 4032
// samples of 16 bits; an audio track's MP3 takes under a quarter of its raw bytes (320 kbit/s
// against 1411). The slack takes the encoder's info frame, padding and tags.
constexpr uint64_t XA_SOUND_BYTES_PER_SECTOR = 4032 * 2;
constexpr uint64_t TRACK_MP3_BYTES_PER_SECTOR = SECTOR_SIZE / 4;
constexpr uint64_t SOUND_FILE_SLACK = 64 * 1024;

const char* SectionName(bool xa) {
  return xa ? "XA section" : "audio track section";
}

bool SoundTag(const XaTag& tag) {
  return tag.marker == XA_TAG_MARKER && tag.record != NO_XA_RECORD &&
         tag.channel != XA_TAG_NO_CHANNEL;
}

// Whether the bytes at `at` begin as a stored block does.
bool BeginsLikeABlock(CompressedReader& reader, uint64_t at) {
  uint8_t head[4];
  return reader.ReadAt(at, head, sizeof head) && StartsWithCompressedStream(head, sizeof head);
}

// A compressed block right behind the block area means the side file describes too few blocks;
// it would otherwise be read as a section with an absurd count. True when so (the problem added).
bool LacksEntries(CompressedReader& reader, ImageLayout& layout, uint64_t at) {
  if (at != layout.blockAreaEnd || !BeginsLikeABlock(reader, at)) return false;
  AddProblem(layout, "side file",
             std::string(reader.Kind().closingOffset ? "it lacks entries or its closing offset"
                                                     : "it lacks entries") +
                 ": a compressed block begins at offset " + Num(at) +
                 ", behind the last block it describes");
  return true;
}

// The side file: entry sizes, offsets in order without gaps, the limits and the XaTags' markers.
void CheckBlocks(CompressedReader& reader, ImageLayout& layout) {
  const CompressedKind& kind = reader.Kind();
  const uint64_t stray = layout.sideSize % kind.entrySize;
  if (stray != 0) {
    AddProblem(layout, "side file",
               "its last " + Num(stray) + " bytes are no whole entry of " + Num(kind.entrySize));
  }
  if (!layout.SideFileWithinLimit()) {
    AddProblem(layout, "side file",
               Num(layout.sideSize) + " bytes, over the " + Num(EMULATOR_SIDE_FILE_LIMIT) +
                   " the emulator's reader loads",
               ProblemKind::Limit);
  }
  uint64_t expected = 0;
  for (uint32_t i = 0; i < layout.blocks; ++i) {
    const BlockEntry& e = reader.Entries()[i];
    if (e.offset != expected) {
      AddProblem(layout, Block(i),
                 "starts at offset " + Num(e.offset) + ", not where the block before ends (" +
                     Num(expected) + ")");
    }
    expected = uint64_t{e.offset} + e.length;
    layout.largestBlock = std::max(layout.largestBlock, e.length);
    if (e.length > EMULATOR_STORED_BLOCK_LIMIT) {
      AddProblem(layout, Block(i),
                 "stored length " + Num(e.length) + " is over the " +
                     Num(EMULATOR_STORED_BLOCK_LIMIT) + " bytes the emulator's reader takes",
                 ProblemKind::Limit);
    }
    const XaTag& tag = e.tag;
    if (tag.record == 0 && tag.marker == 0 && tag.channel == 0) continue;
    layout.xaTaggedBlocks += 1;
    if (tag.marker != XA_TAG_MARKER) {
      AddProblem(layout, Block(i),
                 "its XA tag's marker is " + Num(tag.marker) + ", not " + Num(XA_TAG_MARKER));
    }
  }
  layout.blockAreaEnd = expected;
}

// Reads a section's count and entries at `at`; each file must follow the one before up to the
// data file's end. False when the section cannot be walked past (the problem added).
bool ReadSection(CompressedReader& reader, ImageLayout& layout, uint64_t at, SectionInfo& section) {
  const uint64_t size = layout.dataSize;
  const std::string name = SectionName(section.xa);
  uint8_t countField[4];
  if (!reader.ReadAt(at, countField, 4)) {
    AddProblem(layout, "data file", "cannot read the " + name + " at offset " + Num(at));
    return false;
  }
  const uint32_t count = GetU32(countField);
  const uint64_t room = (size - at - 4) / SECTION_ENTRY_SIZE;
  const uint32_t cap = section.xa ? XA_RECORD_TABLE_SIZE : MAX_AUDIO_TRACK_ENTRIES;
  if (count == 0 || count > room || count > cap) {
    if (LacksEntries(reader, layout, at)) return false;
    AddProblem(layout, name,
               "its count at offset " + Num(at) + " is " + Num(count) + "; the bytes behind it " +
                   "hold at most " + Num(std::min<uint64_t>(room, cap)) + " entries");
    return false;
  }
  std::vector<uint8_t> table(size_t{count} * SECTION_ENTRY_SIZE);
  if (!reader.ReadAt(at + 4, table.data(), table.size())) {
    AddProblem(layout, "data file", "cannot read the " + name + " at offset " + Num(at));
    return false;
  }
  section.at = at;
  uint64_t next = at + 4 + table.size();
  for (uint32_t j = 0; j < count; ++j) {
    const uint8_t* p = table.data() + size_t{j} * SECTION_ENTRY_SIZE;
    SectionEntryInfo e{GetU32(p), GetU32(p + 4), GetU32(p + 8), GetU32(p + 12), {}};
    const std::string entry = name + " entry " + Num(j);
    if (e.offset != next) {
      AddProblem(layout, entry,
                 "its file starts at offset " + Num(e.offset) + ", not at " + Num(next) +
                     " where the one before ends");
    }
    if (uint64_t{e.offset} + e.size > size) {
      AddProblem(layout, entry, "its file runs past the end of the data file");
      return false;
    }
    next = uint64_t{e.offset} + e.size;
    section.entries.push_back(e);
  }
  section.end = next;
  return true;
}

// Why entry `j` names sectors it may not, "" when it may: an XA record's lie in the block area
// (the records of interleaved channels overlap); the audio tracks follow the data track and one
// another, within 99:59:74.
std::string SectorsFault(const CompressedKind& kind, uint32_t blocks, const SectionInfo& s,
                         size_t j) {
  const uint64_t blockSectors = uint64_t{blocks} * kind.sectorsPerBlock;
  // The data track ends inside the last block: a track may begin right after the block's first
  // sector.
  const uint64_t lastBlockStart = blocks == 0 ? 0 : blockSectors - kind.sectorsPerBlock;
  const SectionEntryInfo& e = s.entries[j];
  if (e.firstSector > e.lastSector) {
    return "first sector " + Num(e.firstSector) + " lies after its last " + Num(e.lastSector);
  }
  if (s.xa) {
    return e.lastSector < blockSectors
               ? std::string()
               : Sectors(e.firstSector, e.lastSector) + " pass the " + Num(blockSectors) +
                     " sectors of the data track's blocks";
  }
  if (blocks != 0 && e.firstSector <= lastBlockStart) {
    return "starts at sector " + Num(e.firstSector) + ", inside the data track (its last " +
           "block starts at sector " + Num(lastBlockStart) + ")";
  }
  if (e.lastSector >= MAX_DISC_SECTORS) {
    return Sectors(e.firstSector, e.lastSector) + " pass 99:59:74 (sector " +
           Num(MAX_DISC_SECTORS - 1) + ")";
  }
  if (j != 0 && e.firstSector <= s.entries[j - 1].lastSector) {
    const SectionEntryInfo& before = s.entries[j - 1];
    return Sectors(e.firstSector, e.lastSector) + " do not follow the track before it (" +
           Sectors(before.firstSector, before.lastSector) + ")";
  }
  return {};
}

void CheckEntrySectors(const CompressedKind& kind, ImageLayout& layout, const SectionInfo& s) {
  for (size_t j = 0; j < s.entries.size(); ++j) {
    const std::string why = SectorsFault(kind, layout.blocks, s, j);
    if (!why.empty()) AddProblem(layout, std::string(SectionName(s.xa)) + " entry " + Num(j), why);
  }
}

// Why the file of an entry is no sound of its kind; "" when it decodes. An XA record holds an
// MP3, or its WAV when the MP3 could not be made; an audio track only an MP3.
std::string SoundFault(const std::vector<uint8_t>& bytes, bool xa) {
  std::string why;
  const bool wav = xa && bytes.size() >= 4 && std::memcmp(bytes.data(), "RIFF", 4) == 0;
  if (wav ? CheckWav(bytes.data(), bytes.size(), nullptr, &why)
          : CheckMp3(bytes.data(), bytes.size(), nullptr, &why)) {
    return {};
  }
  return (wav ? "its WAV is damaged: " : "its MP3 does not decode: ") + why;
}

void CheckSoundFiles(CompressedReader& reader, ImageLayout& layout, const SectionInfo& s) {
  std::vector<uint8_t> bytes;
  for (size_t j = 0; j < s.entries.size(); ++j) {
    const SectionEntryInfo& e = s.entries[j];
    // An entry whose sectors are refused (a problem already) bounds no file: its file is left
    // unread rather than sized from a count no disc holds.
    if (!SectorsFault(reader.Kind(), layout.blocks, s, j).empty()) continue;
    const std::string entry = std::string(SectionName(s.xa)) + " entry " + Num(j);
    const uint64_t sectors = uint64_t{e.lastSector} - e.firstSector + 1;
    const uint64_t largest =
        sectors * (s.xa ? XA_SOUND_BYTES_PER_SECTOR : TRACK_MP3_BYTES_PER_SECTOR) +
        SOUND_FILE_SLACK;
    if (e.size > largest) {
      AddProblem(layout, entry,
                 "its file of " + Num(e.size) + " bytes is larger than the sound of " +
                     Num(sectors) + " sectors can be",
                 ProblemKind::Content);
      continue;
    }
    bytes.resize(e.size);
    if (!reader.ReadAt(e.offset, bytes.data(), bytes.size())) {
      AddProblem(layout, "data file", "cannot read the file of " + entry);
      return;
    }
    const std::string fault = SoundFault(bytes, s.xa);
    if (!fault.empty()) AddProblem(layout, entry, fault, ProblemKind::Content);
  }
}

// Walks the sections from the block area's end; each must fit the bytes that follow, and the last
// must end at the data file's end.
void CheckSections(CompressedReader& reader, ImageLayout& layout, bool xaFirst, SoundFiles sound) {
  uint64_t at = layout.blockAreaEnd;
  const uint64_t size = layout.dataSize;
  std::vector<bool> order = xaFirst ? std::vector<bool>{true, false} : std::vector<bool>{false};
  for (const bool xa : order) {
    // Fewer bytes than a count and one entry are no section, only bytes left over.
    if (at >= size || size - at < 4 + SECTION_ENTRY_SIZE) break;
    SectionInfo section;
    section.xa = xa;
    if (!ReadSection(reader, layout, at, section)) return;
    CheckEntrySectors(reader.Kind(), layout, section);
    if (sound == SoundFiles::Decoded) CheckSoundFiles(reader, layout, section);
    at = section.end;
    layout.sections.push_back(std::move(section));
  }
  if (at < size && !LacksEntries(reader, layout, at)) {
    AddProblem(layout, "data file",
               Num(size - at) + " bytes at offset " + Num(at) + " belong to no block or section");
  }
}

// A ".ZNX" tag names its XA record; the record must be in the XA section and hold the sector.
void CheckTagsAgainstSection(CompressedReader& reader, ImageLayout& layout) {
  const SectionInfo* xa = nullptr;
  for (const SectionInfo& s : layout.sections) {
    if (s.xa) xa = &s;
  }
  for (uint32_t i = 0; i < layout.blocks; ++i) {
    const XaTag& tag = reader.Entries()[i].tag;
    if (!SoundTag(tag)) continue;
    if (xa == nullptr) {
      AddProblem(layout, Block(i),
                 "tagged with the sound of XA record " + Num(tag.record) +
                     ", but the data file has no XA section");
      continue;
    }
    if (tag.record >= xa->entries.size()) {
      AddProblem(layout, Block(i),
                 "its XA tag names record " + Num(tag.record) + "; the XA section has " +
                     Num(xa->entries.size()));
      continue;
    }
    const SectionEntryInfo& r = xa->entries[tag.record];
    if (i < r.firstSector || i > r.lastSector) {
      AddProblem(layout, Block(i),
                 "its XA tag names record " + Num(tag.record) + ", which covers " +
                     Sectors(r.firstSector, r.lastSector));
    }
  }
}

}  // namespace

std::string Block(uint32_t i) {
  return "block " + std::to_string(i);
}

std::string Num(uint64_t n) {
  return std::to_string(n);
}

std::string Sectors(uint32_t first, uint32_t last) {
  return "sectors " + Num(first) + "-" + Num(last);
}

bool ImageLayout::Damaged() const {
  if (moreProblems != 0) return true;
  for (const ImageProblem& p : problems) {
    if (!p.limit) return true;
  }
  return false;
}

std::string ImageLayout::StructureSummary() const {
  std::string first;
  for (const ImageProblem& p : problems) {
    if (!p.limit && !p.content) {
      first = p.Text();
      break;
    }
  }
  if (first.empty()) first = "more than " + Num(MAX_IMAGE_PROBLEMS) + " problems";
  if (structureProblems <= 1) return first;
  const uint32_t more = structureProblems - 1;
  return first + " (and " + Num(more) + (more == 1 ? " more problem)" : " more problems)");
}

bool ImageLayout::HasAudioTrackSection() const {
  return std::any_of(sections.begin(), sections.end(), [](const SectionInfo& s) { return !s.xa; });
}

void AddProblem(ImageLayout& layout, std::string where, std::string what, ProblemKind kind) {
  if (kind == ProblemKind::Structure) layout.structureProblems += 1;
  if (layout.problems.size() >= MAX_IMAGE_PROBLEMS) {
    layout.moreProblems += 1;
    return;
  }
  layout.problems.push_back({std::move(where), std::move(what), kind == ProblemKind::Limit,
                             kind == ProblemKind::Content});
}

bool TakeOpened(const CompressedReader& reader, ImageLayout& layout, bool opened) {
  layout.mode = reader.Mode();
  layout.dataFile = reader.DataFile();
  layout.sideFile = reader.SideFile();
  layout.repairLine = reader.RepairLine();
  if (!opened) {
    layout.error = reader.Error();
    // The reader's refusals of a damaged side file name the block; they are the image's problem.
    if (reader.SideFileDamaged()) AddProblem(layout, "side file", reader.Error());
    return false;
  }
  layout.opened = true;
  layout.blocks = reader.Blocks();
  layout.dataSize = reader.DataSize();
  layout.sideSize = reader.SideSize();
  return true;
}

void CheckImageStructure(CompressedReader& reader, ImageLayout& layout, SoundFiles sound) {
  CheckBlocks(reader, layout);
  const bool tags = reader.Kind().xaTags;
  bool xaFirst = false;
  if (tags) {
    for (const BlockEntry& e : reader.Entries()) xaFirst |= SoundTag(e.tag);
  }
  CheckSections(reader, layout, xaFirst, sound);
  if (tags) CheckTagsAgainstSection(reader, layout);
}

void MeasureRestoredSize(CompressedReader& reader, ImageLayout& layout) {
  const uint32_t n = layout.blocks;
  layout.restoredSize = 0;
  if (n == 0) return;
  const CompressedKind& kind = reader.Kind();
  std::vector<uint8_t> stored(reader.Entries()[n - 1].length), raw(kind.rawBlockLength);
  BlockDecompressor codec;
  size_t produced = 0;
  if (!reader.ReadBlock(n - 1, stored.data())) {
    AddProblem(layout, "data file",
               "cannot read " + Block(n - 1) + ": " +
                   std::strerror(reader.Errno() != 0 ? reader.Errno() : EIO),
               ProblemKind::Content);
    produced = kind.rawBlockLength;
  } else if (!reader.DecodeBlock(codec, stored.data(), static_cast<uint32_t>(stored.size()),
                                 raw.data(), &produced)) {
    AddProblem(layout, Block(n - 1), "does not decompress", ProblemKind::Content);
    produced = kind.rawBlockLength;
  }
  layout.restoredSize = uint64_t{n - 1} * kind.rawBlockLength + produced;
}

uint64_t RestoredSectors(const ImageLayout& layout) {
  return (layout.restoredSize + SECTOR_SIZE - 1) / SECTOR_SIZE;
}

}  // namespace quarnel
