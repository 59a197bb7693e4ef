#include "common/checksums.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>

namespace quarnel {

struct Checksums::Digests {
  EVP_MD_CTX* md5 = EVP_MD_CTX_new();
  EVP_MD_CTX* sha1 = EVP_MD_CTX_new();
  ~Digests() {
    EVP_MD_CTX_free(md5);
    EVP_MD_CTX_free(sha1);
  }
};

namespace {

std::string Final(EVP_MD_CTX* context) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context, digest, &length);
  return HexString(digest, length);
}

}  // namespace

std::string HexString(const unsigned char* bytes, size_t size) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = DIGITS[bytes[i] >> 4];
    text[2 * i + 1] = DIGITS[bytes[i] & 0xF];
  }
  return text;
}

Checksums::Checksums() : digests_(std::make_unique<Digests>()) {
  if (digests_->md5 == nullptr || digests_->sha1 == nullptr) throw std::bad_alloc();
  Reset();
}

Checksums::~Checksums() = default;

void Checksums::Reset() {
  EVP_DigestInit_ex(digests_->md5, EVP_md5(), nullptr);
  EVP_DigestInit_ex(digests_->sha1, EVP_sha1(), nullptr);
  crc_ = static_cast<uint32_t>(crc32(0, nullptr, 0));
  size_ = 0;
}

void Checksums::Update(const void* data, size_t size) {
  for (size_t part = 0; part < PARTS; ++part) UpdatePart(part, data, size);
}

void Checksums::UpdatePart(size_t part, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  switch (part) {
    case 0:
      size_ += size;
      // zlib's length is a uInt: feed a large buffer in pieces.
      while (size > 0) {
        const size_t piece = std::min<size_t>(size, UINT_MAX);
        crc_ = static_cast<uint32_t>(crc32(crc_, bytes, static_cast<uInt>(piece)));
        bytes += piece;
        size -= piece;
      }
      break;
    case 1:
      EVP_DigestUpdate(digests_->md5, bytes, size);
      break;
    default:
      EVP_DigestUpdate(digests_->sha1, bytes, size);
      break;
  }
}

ChecksumDigests Checksums::Finish() {
  ChecksumDigests result;
  const unsigned char crc[4] = {
      static_cast<unsigned char>(crc_ >> 24), static_cast<unsigned char>(crc_ >> 16),
      static_cast<unsigned char>(crc_ >> 8), static_cast<unsigned char>(crc_)};
  result.crc32 = HexString(crc, 4);
  result.md5 = Final(digests_->md5);
  result.sha1 = Final(digests_->sha1);
  result.size = size_;
  Reset();
  return result;
}

}  // namespace quarnel
