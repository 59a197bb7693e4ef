#include "common/commit_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "common/image_path.h"

namespace quarnel::commit {

namespace {

constexpr char RECORD_MAGIC[] = "quarnel-commit-1\n";
// D, its side file, and what lies beside them: a FLAC per audio track (at most 98), the cue sheet
// and the dump's list.
constexpr size_t MAX_ENTRIES = 110;
// Room for MAX_ENTRIES moves and hides of the longest names, and no more.
constexpr size_t MAX_RECORD_SIZE = sizeof RECORD_MAGIC + MAX_ENTRIES * 3 * (NAME_MAX + 8) + 8;

// A name read from a record, safe to print: control bytes shown as '?', long names cut.
std::string Printable(const std::string& name) {
  std::string out = name.substr(0, 80);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out + (name.size() > 80 ? "..." : "");
}

// Files that are committed with an image beside it: the lossless audio tracks, the cue sheet and
// the list of the dump's files.
bool IsCompanion(const std::string& name, const std::string& base) {
  const auto endsWith = [&](const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (name.size() <= n) return false;
    for (size_t i = 0; i < n; ++i) {
      if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != suffix[i]) {
        return false;
      }
    }
    return true;
  };
  return endsWith(".flac") || endsWith(".cue") || name == base + DUMP_LIST_SUFFIX;
}

}  // namespace

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string EncodeRecord(const std::vector<OutputFile*>& files,
                         const std::vector<std::string>& hide) {
  std::string out = RECORD_MAGIC;
  const auto field = [&out](const std::string& s) {
    out += s;
    out.push_back('\0');
  };
  for (const std::string& name : hide) {
    field("hide");
    field(BareName(name));
  }
  for (const OutputFile* f : files) {
    field("move");
    field(BareName(f->TemporaryPath()));
    field(BareName(f->Path()));
  }
  field("end");
  return out;
}

std::string ParseRecord(const std::string& bytes, Record* record) {
  const size_t magic = sizeof RECORD_MAGIC - 1;
  if (bytes.compare(0, magic, RECORD_MAGIC) != 0) return "it does not begin as a commit record";
  size_t at = magic;
  const auto next = [&](std::string* field) {
    const size_t end = bytes.find('\0', at);
    if (end == std::string::npos) return false;
    *field = bytes.substr(at, end - at);
    at = end + 1;
    return true;
  };
  std::string key, a, b;
  for (;;) {
    if (!next(&key)) return "it is cut short";
    if (key == "end") break;
    if (key == "hide" && next(&a)) {
      record->hide.push_back(a);
    } else if (key == "move" && next(&a) && next(&b)) {
      record->moves.emplace_back(a, b);
    } else {
      return "it holds a field this program does not write";
    }
    if (record->hide.size() + record->moves.size() > MAX_ENTRIES) return "it names too many files";
  }
  if (at != bytes.size()) return "it goes on after its end";
  if (record->moves.empty()) return "it names no file";
  return {};
}

std::string CheckRecord(const Record& record, const std::string& base,
                        const std::vector<std::string>& sideSuffixes) {
  const auto inFolder = [](const std::string& n) {
    return !n.empty() && n.size() <= NAME_MAX && n.find('/') == std::string::npos && n != "." &&
           n != "..";
  };
  const auto isSide = [&](const std::string& n) {
    for (const std::string& s : sideSuffixes) {
      if (n == base + s) return true;
    }
    return false;
  };
  const auto outside = [&](const std::string& n) {
    return "it names " + Printable(n) + ", which is not a file of " + base + " in its folder";
  };
  std::vector<std::string> finals;
  for (size_t i = 0; i < record.moves.size(); ++i) {
    const auto& [temporary, final] = record.moves[i];
    if (!inFolder(temporary)) return outside(temporary);
    if (!inFolder(final) || !(i == 0 ? final == base : isSide(final) || IsCompanion(final, base))) {
      return outside(final);
    }
    if (temporary != final + PARTIAL_SUFFIX) return outside(temporary);
    for (const std::string& seen : finals) {
      if (seen == final) return "it names " + final + " twice";
    }
    finals.push_back(final);
  }
  for (const std::string& name : record.hide) {
    if (!inFolder(name) || !isSide(name)) return outside(name);
  }
  return {};
}

int LockRecord(const std::string& path, const std::string& dataFile, CommitRepair& repair) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      const int error = errno;
      // No record can stand where its name cannot: an image with a long name still opens.
      if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) return -1;
      repair = {CommitRepair::FAILED, "cannot read " + path + ": " + std::strerror(error)};
      return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
      repair = {CommitRepair::REFUSED,
                path +
                    " is not a commit record this program wrote; it was left alone: remove it "
                    "by hand once " +
                    dataFile + " is checked"};
      return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT) continue;
      repair = {CommitRepair::FAILED, "cannot read " + path + ": " + std::strerror(error)};
      return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      repair = error == EWOULDBLOCK
                   ? CommitRepair{CommitRepair::BUSY,
                                  dataFile + " is busy: another run is finishing writing it"}
                   : CommitRepair{CommitRepair::FAILED,
                                  "cannot lock " + path + ": " + std::strerror(error)};
      return -1;
    }
    struct stat open, named;
    if (::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
        open.st_ino == named.st_ino && open.st_dev == named.st_dev) {
      return fd;
    }
    ::close(fd);  // finished and removed by another run meanwhile; look again
  }
  repair = {CommitRepair::BUSY, dataFile + " is busy: other runs are finishing writing it"};
  return -1;
}

bool ReadRecord(int fd, std::string* bytes) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size < 0 ||
      static_cast<uint64_t>(st.st_size) > MAX_RECORD_SIZE) {
    return false;
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes->size()) {
    const ssize_t n =
        ::pread(fd, bytes->data() + got, bytes->size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace quarnel::commit
