#include "common/output_file.h"

#include <cerrno>

namespace quarnel {

namespace {
constexpr size_t WRITE_BUFFER = 1 << 20;
}

bool OutputFile::Create(const std::string& path) {
  Close();
  path_ = path;
  errno_ = 0;
  written_ = 0;
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    errno_ = errno != 0 ? errno : EIO;
    return false;
  }
  std::setvbuf(file_, nullptr, _IOFBF, WRITE_BUFFER);
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
