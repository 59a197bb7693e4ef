#include "packing/dat_zip.h"

#include <zip.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <vector>

#include "packing/dat_file.h"

namespace quarnel {

namespace {

struct ArchiveDiscarder {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using Archive = std::unique_ptr<zip_t, ArchiveDiscarder>;

// An entry's name fit for a one-line message.
std::string Printable(const char* name) {
  std::string out(name);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

// "a, b, c": the first ten names, then how many more.
std::string NameList(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size() && i < 10; ++i) out += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > 10) out += " and " + std::to_string(names.size() - 10) + " more";
  return out;
}

// Whether `name` ends in ".dat", in any case.
bool IsDatName(const char* name) {
  const size_t length = std::strlen(name);
  if (length < 4) return false;
  std::string suffix(name + length - 4);
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == ".dat";
}

// The archive in `zip`, its consistency checked; null with `error` when it is damaged.
Archive OpenArchive(const std::string& zip, const std::string& notDat, std::string& error) {
  zip_error_t zipError;
  zip_error_init(&zipError);
  zip_source_t* source = zip_source_buffer_create(zip.data(), zip.size(), 0, &zipError);
  zip_t* opened = source == nullptr
                      ? nullptr
                      : zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &zipError);
  if (opened == nullptr) {
    zip_source_free(source);  // an archive that opened owns its source
    error = notDat + "a damaged zip archive (" + zip_error_strerror(&zipError) + ")";
  }
  zip_error_fini(&zipError);
  return Archive(opened);
}

// The index of the archive's one .dat entry, its name in `entry`; false with `error` naming what
// the archive holds when it has no .dat entry or several.
bool FindDat(zip_t* archive, const std::string& path, zip_uint64_t& index, std::string& entry,
             std::string& error) {
  std::vector<std::string> names, dats;
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
    if (name == nullptr) continue;
    names.push_back(Printable(name));
    if (IsDatName(name)) {
      dats.push_back(names.back());
      index = static_cast<zip_uint64_t>(i);
    }
  }
  if (dats.empty()) {
    error = path + " holds no .dat file; " +
            (names.empty() ? "it is empty" : "it holds: " + NameList(names));
    return false;
  }
  if (dats.size() > 1) {
    error = path + " holds several .dat files: " + NameList(dats);
    return false;
  }
  entry = dats.front();
  return true;
}

// Reads `file` into the whole of `text`, and then its end: an entry that inflates to more or
// less than the archive says is refused, and its CRC is checked at that end.
bool ReadExactly(zip_file_t* file, const std::string& entry, const std::string& notDat,
                 std::string& text, std::string& error) {
  size_t done = 0;
  char probe;  // one byte past the size: the end must come there
  for (;;) {
    const bool full = done == text.size();
    const zip_int64_t n =
        zip_fread(file, full ? &probe : text.data() + done, full ? 1 : text.size() - done);
    if (n < 0) {
      error = notDat + "cannot inflate " + entry + " in it (" + zip_file_strerror(file) + ")";
      return false;
    }
    if (n == 0) break;
    if (full) {
      error = notDat + "its " + entry + " inflates to more than the archive says";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (done != text.size()) {
    error = notDat + "its " + entry + " inflates to less than the archive says";
    return false;
  }
  return true;
}

// Inflates entry `index` into `text`. The size the archive gives is checked before anything is
// inflated, and then held to.
bool Inflate(zip_t* archive, zip_uint64_t index, const std::string& entry,
             const std::string& notDat, std::string& text, std::string& error) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0) {
    error = notDat + "cannot read " + entry + " in it (" + zip_strerror(archive) + ")";
    return false;
  }
  if (stat.size > MAX_DAT_FILE_SIZE) {
    error = notDat + "its " + entry + " is larger than 256 MiB";
    return false;
  }
  const std::unique_ptr<zip_file_t, EntryCloser> file(zip_fopen_index(archive, index, 0));
  if (!file) {
    error = notDat + "cannot read " + entry + " in it (" + zip_strerror(archive) + ")";
    return false;
  }
  text.assign(static_cast<size_t>(stat.size), '\0');
  return ReadExactly(file.get(), entry, notDat, text, error);
}

}  // namespace

bool IsZip(const std::string& data) {
  return data.size() >= 4 &&
         (data.compare(0, 4, "PK\x03\x04") == 0 || data.compare(0, 4, "PK\x05\x06") == 0);
}

bool UnzipDat(const std::string& path, const std::string& zip, std::string& text,
              std::string& entry, std::string& error) {
  const std::string notDat = path + " is not a DAT file: ";
  const Archive archive = OpenArchive(zip, notDat, error);
  if (!archive) return false;
  zip_uint64_t index = 0;
  return FindDat(archive.get(), path, index, entry, error) &&
         Inflate(archive.get(), index, entry, notDat, text, error);
}

}  // namespace quarnel
