// Block compression with codec state kept from block to block. A fresh compress() per 2352-byte
// sector spends most of its time setting up zlib; deflateReset gives the same bytes for a fraction
// of the cost. bzip2 has no reset, so its state is carved from one arena that is reused.
#pragma once

#include <bzlib.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quarnel {

// A bump allocator for bzip2's few large allocations; everything is released at once when the next
// stream begins. Falls back to malloc when a request does not fit.
class BzipArena {
 public:
  BzipArena();
  ~BzipArena();
  BzipArena(const BzipArena&) = delete;
  BzipArena& operator=(const BzipArena&) = delete;

  void Reset() { used_ = 0; }
  void Attach(bz_stream& stream);

 private:
  static void* Alloc(void* opaque, int items, int size);
  static void Free(void* opaque, void* p);

  std::unique_ptr<uint8_t[]> arena_;
  size_t used_ = 0;
};

class BlockCompressor {
 public:
  BlockCompressor();
  ~BlockCompressor();
  BlockCompressor(const BlockCompressor&) = delete;
  BlockCompressor& operator=(const BlockCompressor&) = delete;

  // Same output as compress(): a zlib stream at the default level. Returns the stored length, or
  // 0 when `room` is too small or zlib fails.
  size_t Zlib(const uint8_t* in, size_t length, uint8_t* out, size_t room);

  // Same output as BZ2_bzBuffToBuffCompress(out, room, in, length, 1, 0, 30).
  size_t Bzip2(const uint8_t* in, size_t length, uint8_t* out, size_t room);

 private:
  z_stream zlib_{};
  bool zlibReady_ = false;
  BzipArena arena_;
};

class BlockDecompressor {
 public:
  BlockDecompressor();
  ~BlockDecompressor();
  BlockDecompressor(const BlockDecompressor&) = delete;
  BlockDecompressor& operator=(const BlockDecompressor&) = delete;

  // Decompresses one whole stream into at most `room` bytes; false when the stream is damaged,
  // incomplete, followed by garbage or larger than `room`. `*produced` gets the output length.
  bool Zlib(const uint8_t* in, size_t length, uint8_t* out, size_t room, size_t* produced);
  bool Bzip2(const uint8_t* in, size_t length, uint8_t* out, size_t room, size_t* produced);

 private:
  z_stream zlib_{};
  bool zlibReady_ = false;
  BzipArena arena_;
};

}  // namespace quarnel
