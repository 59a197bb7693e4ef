// Reading a damaged compressed image of each kind: the reader opens it (the side file parsed and
// checked against the data file) and every block is read and decompressed into buffers of exactly
// the promised sizes (the first few and the last decompressed). About one input in 64 also goes
// through the whole "Uncompress ISO", with consent to replace the output: it starts exactly on an
// image whose structure InspectImage calls sound, succeeds only on one it finds no fault in, and
// then writes exactly the restored size InspectImage gives. The restored image is removed with the
// folder.
//
// Input: see WriteCompressedImage.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "fuzz_support.h"
#include "packing/block_codec.h"
#include "packing/compressed_reader.h"
#include "packing/restore_image.h"
#include "packing/verify_image.h"

using namespace quarnel;

namespace {

// Bounds the output to about a mebibyte or two.
constexpr size_t MAX_BZIP2_BLOCKS = 64;
constexpr size_t MAX_ZLIB_BLOCKS = 512;
constexpr uint32_t DECODED_BLOCKS = 4;  // and the last

void ReadEveryBlock(const std::string& dataFile) {
  CompressedReader reader;
  if (!reader.Open(dataFile)) {
    if (reader.Error().empty()) std::abort();  // a refusal always says why
    return;
  }
  const uint32_t raw = reader.Kind().rawBlockLength;
  BlockDecompressor codec;
  for (uint32_t i = 0; i < reader.Blocks(); ++i) {
    const BlockEntry& e = reader.Entries()[i];
    if (e.length == 0 || e.length > 2 * raw || uint64_t{e.offset} + e.length > reader.DataSize()) {
      std::abort();  // Open promised every entry within the data file
    }
    std::vector<uint8_t> stored(e.length);
    if (!reader.ReadBlock(i, stored.data())) std::abort();
    // Decoding sound blocks mostly exercises the compressor's library: a few are enough.
    if (i >= DECODED_BLOCKS && i + 1 != reader.Blocks()) continue;
    std::vector<uint8_t> out(raw);
    size_t produced = 0;
    if (reader.DecodeBlock(codec, stored.data(), e.length, out.data(), &produced) &&
        produced > raw) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchDir dir;
  const std::string dataFile =
      fuzz::WriteCompressedImage(dir, data, size, MAX_BZIP2_BLOCKS, MAX_ZLIB_BLOCKS);
  ReadEveryBlock(dataFile);
  if (!fuzz::OneIn(data, size, 64)) return 0;

  const ImageLayout layout = InspectImage(dataFile);
  fuzz::SilentReporter reporter;
  const RestoreReport restored = RestoreImage({dataFile, {}}, reporter);
  const Outcome& outcome = restored.outcome;
  // In the scratch folder nothing but the image's structure can keep the restore from starting.
  if (restored.started != (layout.opened && !layout.StructureDamaged())) std::abort();
  // A run fails with a reason or succeeds; only damaged blocks, restored as zeros, fail one that
  // wrote its output.
  if (outcome.Failed() == outcome.Done() ||
      (!outcome.written.empty() && outcome.Failed() && restored.damagedBlocks == 0)) {
    std::abort();
  }
  if (outcome.Done()) {
    std::error_code ec;
    if (layout.Damaged() ||
        std::filesystem::file_size(restored.output, ec) != layout.restoredSize) {
      std::abort();
    }
  }
  return 0;
}
