#include "packing/block_codec.h"

#include <climits>
#include <cstdlib>

namespace quarnel {

namespace {

// bzip2 with block size 1 asks for about 1.1 MB when compressing and 0.5 MB when decompressing.
constexpr size_t BZIP_ARENA_SIZE = 2 << 20;
constexpr size_t ARENA_ALIGN = 16;

constexpr int BZIP_BLOCK_SIZE = 1;
constexpr int BZIP_VERBOSITY = 0;
constexpr int BZIP_WORK_FACTOR = 30;

}  // namespace

BzipArena::BzipArena() : arena_(new uint8_t[BZIP_ARENA_SIZE]) {}
BzipArena::~BzipArena() = default;

void BzipArena::Attach(bz_stream& stream) {
  Reset();
  stream.bzalloc = &BzipArena::Alloc;
  stream.bzfree = &BzipArena::Free;
  stream.opaque = this;
}

void* BzipArena::Alloc(void* opaque, int items, int size) {
  auto* self = static_cast<BzipArena*>(opaque);
  if (items < 0 || size < 0) return nullptr;
  const size_t bytes = (static_cast<size_t>(items) * size + ARENA_ALIGN - 1) & ~(ARENA_ALIGN - 1);
  if (bytes <= BZIP_ARENA_SIZE - self->used_) {
    void* p = self->arena_.get() + self->used_;
    self->used_ += bytes;
    return p;
  }
  return std::malloc(bytes);
}

void BzipArena::Free(void* opaque, void* p) {
  auto* self = static_cast<BzipArena*>(opaque);
  const uint8_t* q = static_cast<const uint8_t*>(p);
  if (q < self->arena_.get() || q >= self->arena_.get() + BZIP_ARENA_SIZE) std::free(p);
}

BlockCompressor::BlockCompressor() {
  zlibReady_ = deflateInit(&zlib_, Z_DEFAULT_COMPRESSION) == Z_OK;
}

BlockCompressor::~BlockCompressor() {
  if (zlibReady_) deflateEnd(&zlib_);
}

size_t BlockCompressor::Zlib(const uint8_t* in, size_t length, uint8_t* out, size_t room) {
  if (!zlibReady_ || length > UINT_MAX || room > UINT_MAX) return 0;
  deflateReset(&zlib_);
  zlib_.next_in = const_cast<Bytef*>(in);
  zlib_.avail_in = static_cast<uInt>(length);
  zlib_.next_out = out;
  zlib_.avail_out = static_cast<uInt>(room);
  if (deflate(&zlib_, Z_FINISH) != Z_STREAM_END) return 0;
  return room - zlib_.avail_out;
}

size_t BlockCompressor::Bzip2(const uint8_t* in, size_t length, uint8_t* out, size_t room) {
  if (length > UINT_MAX || room > UINT_MAX) return 0;
  bz_stream stream{};
  arena_.Attach(stream);
  if (BZ2_bzCompressInit(&stream, BZIP_BLOCK_SIZE, BZIP_VERBOSITY, BZIP_WORK_FACTOR) != BZ_OK) {
    return 0;
  }
  stream.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(in));
  stream.avail_in = static_cast<unsigned>(length);
  stream.next_out = reinterpret_cast<char*>(out);
  stream.avail_out = static_cast<unsigned>(room);
  int rc;
  do {
    rc = BZ2_bzCompress(&stream, BZ_FINISH);
  } while (rc == BZ_FINISH_OK && stream.avail_out > 0);
  const size_t produced = room - stream.avail_out;
  BZ2_bzCompressEnd(&stream);
  return rc == BZ_STREAM_END ? produced : 0;
}

BlockDecompressor::BlockDecompressor() {
  zlibReady_ = inflateInit(&zlib_) == Z_OK;
}

BlockDecompressor::~BlockDecompressor() {
  if (zlibReady_) inflateEnd(&zlib_);
}

bool BlockDecompressor::Zlib(const uint8_t* in, size_t length, uint8_t* out, size_t room,
                             size_t* produced) {
  *produced = 0;
  if (!zlibReady_ || length > UINT_MAX || room > UINT_MAX) return false;
  inflateReset(&zlib_);
  zlib_.next_in = const_cast<Bytef*>(in);
  zlib_.avail_in = static_cast<uInt>(length);
  zlib_.next_out = out;
  zlib_.avail_out = static_cast<uInt>(room);
  const int rc = inflate(&zlib_, Z_FINISH);
  *produced = room - zlib_.avail_out;
  return rc == Z_STREAM_END && zlib_.avail_in == 0;
}

bool BlockDecompressor::Bzip2(const uint8_t* in, size_t length, uint8_t* out, size_t room,
                              size_t* produced) {
  *produced = 0;
  if (length > UINT_MAX || room > UINT_MAX) return false;
  bz_stream stream{};
  arena_.Attach(stream);
  if (BZ2_bzDecompressInit(&stream, BZIP_VERBOSITY, 0) != BZ_OK) return false;
  stream.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(in));
  stream.avail_in = static_cast<unsigned>(length);
  stream.next_out = reinterpret_cast<char*>(out);
  stream.avail_out = static_cast<unsigned>(room);
  const int rc = BZ2_bzDecompress(&stream);
  *produced = room - stream.avail_out;
  const bool whole = rc == BZ_STREAM_END && stream.avail_in == 0;
  BZ2_bzDecompressEnd(&stream);
  return whole;
}

}  // namespace quarnel
