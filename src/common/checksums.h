// Checksums of a file's bytes, fed in pieces as they are read: CRC32, MD5 and SHA-1 at once, as a
// DAT file lists them for every dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quarnel {

struct ChecksumDigests {
  std::string crc32;  // 8 lowercase hex digits
  std::string md5;    // 32
  std::string sha1;   // 40
  uint64_t size = 0;  // bytes fed
};

class Checksums {
 public:
  Checksums();
  ~Checksums();
  Checksums(const Checksums&) = delete;
  Checksums& operator=(const Checksums&) = delete;

  void Update(const void* data, size_t size);

  // The three digests are independent: UpdatePart(k, ...) for every k below PARTS, each on any
  // thread (one thread per part at a time), equals one Update.
  static constexpr size_t PARTS = 3;
  static constexpr size_t CRC32_PART = 0;  // also counts the bytes
  static constexpr size_t MD5_PART = 1;
  static constexpr size_t SHA1_PART = 2;
  void UpdatePart(size_t part, const void* data, size_t size);

  // The digests of everything fed since construction or the last Finish; starts over after.
  ChecksumDigests Finish();

 private:
  struct Digests;
  void Reset();

  std::unique_ptr<Digests> digests_;
  uint32_t crc_ = 0;
  uint64_t size_ = 0;
};

// Lowercase hex of `size` bytes.
std::string HexString(const unsigned char* bytes, size_t size);

}  // namespace quarnel
