#include "common/output_file.h"

#include <unistd.h>

#include <cerrno>

namespace quarnel {

bool OutputFile::Create(const std::string& path, size_t bufferSize) {
  Close();
  path_ = path;
  errno_ = 0;
  written_ = 0;
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    errno_ = errno != 0 ? errno : EIO;
    return false;
  }
  std::setvbuf(file_, nullptr, _IOFBF, bufferSize);
  return true;
}

bool OutputFile::Write(const void* data, size_t size) {
  if (file_ == nullptr || errno_ != 0) return false;
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
    errno_ = errno != 0 ? errno : EIO;
    return false;
  }
  written_ += size;
  return true;
}

bool OutputFile::Rewrite(uint64_t offset, const void* data, size_t size) {
  if (file_ == nullptr || errno_ != 0) return false;
  if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0 ||
      std::fwrite(data, 1, size, file_) != size || std::fseek(file_, 0, SEEK_END) != 0) {
    errno_ = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

void OutputFile::CloseAndTruncate(uint64_t size) {
  if (file_ != nullptr) {
    std::fclose(file_);  // what it still held past `size` goes anyway
    file_ = nullptr;
  }
  if (::truncate(path_.c_str(), static_cast<off_t>(size)) == 0) written_ = size;
}

bool OutputFile::Close() {
  if (file_ == nullptr) return errno_ == 0;
  errno = 0;
  if (std::fclose(file_) != 0 && errno_ == 0) errno_ = errno != 0 ? errno : EIO;
  file_ = nullptr;
  return errno_ == 0;
}

void OutputFile::Discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!path_.empty()) std::remove(path_.c_str());
}

}  // namespace quarnel
