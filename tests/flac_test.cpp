// FLAC files of CD audio ranges: byte-exact round trips, refusal of anything damaged or foreign,
// stopping, and that the files are ordinary FLACs another decoder reads.
#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <numbers>

#include "common/checksums.h"
#include "packing/flac_tracks.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

// Stereo tones under noise, as a disc's music sounds: compressible, but not trivially.
std::vector<uint8_t> Audio(size_t bytes) {
  std::mt19937 random(7);
  std::vector<uint8_t> out(bytes, 0x5A);
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const double hz = i % 4 ? 440.0 : 659.3;
    const int v = int(8000 * std::sin(2 * std::numbers::pi * hz * double(i / 4) / 44100)) +
                  int(random() % 512) - 256;
    out[i] = uint8_t(v);
    out[i + 1] = uint8_t(v >> 8);
  }
  return out;
}

std::string Fields(const FlacRange& r) {
  return r.file + "|" + std::to_string(r.offset) + "|" + std::to_string(r.length) + "|" + r.sha1 +
         "|" + HexString(reinterpret_cast<const unsigned char*>(r.tail.data()), r.tail.size());
}

struct Decoded {
  bool ok;
  std::vector<uint8_t> bytes;
  FlacRange range;
  std::string error;
  bool stopped = true;  // DecodeFlac must set it either way
};

Decoded Decode(const std::string& flac, const std::function<bool()>& poll = nullptr) {
  Decoded d;
  const auto sink = [&](const uint8_t* p, size_t n) {
    d.bytes.insert(d.bytes.end(), p, p + n);
    return true;
  };
  d.ok = DecodeFlac(flac, &d.range, sink, poll, &d.error, &d.stopped);
  return d;
}

// Replaces every `name` tag of a FLAC by one per value (none: the tag is removed).
void SetTag(const std::string& path, const char* name, const std::vector<std::string>& values) {
  FLAC__Metadata_Chain* chain = FLAC__metadata_chain_new();
  FLAC__Metadata_Iterator* it = FLAC__metadata_iterator_new();
  ASSERT_TRUE(FLAC__metadata_chain_read(chain, path.c_str()));
  FLAC__metadata_iterator_init(it, chain);
  do {
    FLAC__StreamMetadata* block = FLAC__metadata_iterator_get_block(it);
    if (block->type != FLAC__METADATA_TYPE_VORBIS_COMMENT) continue;
    FLAC__metadata_object_vorbiscomment_remove_entries_matching(block, name);
    for (const std::string& v : values) {
      FLAC__StreamMetadata_VorbisComment_Entry entry;
      ASSERT_TRUE(
          FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, name, v.c_str()));
      FLAC__metadata_object_vorbiscomment_append_comment(block, entry, false);
    }
  } while (FLAC__metadata_iterator_next(it));
  EXPECT_TRUE(FLAC__metadata_chain_write(chain, true, false));
  FLAC__metadata_iterator_delete(it);
  FLAC__metadata_chain_delete(chain);
}

// A 24-bit 48 kHz FLAC that carries valid tags copied from `tagsFrom`.
void WriteOtherFormat(const std::string& path, const std::string& tagsFrom) {
  FLAC__StreamMetadata* tags = nullptr;
  ASSERT_TRUE(FLAC__metadata_get_tags(tagsFrom.c_str(), &tags));
  FLAC__StreamEncoder* e = FLAC__stream_encoder_new();
  FLAC__stream_encoder_set_bits_per_sample(e, 24);
  FLAC__stream_encoder_set_sample_rate(e, 48000);
  FLAC__stream_encoder_set_metadata(e, &tags, 1);
  FLAC__stream_encoder_init_file(e, path.c_str(), nullptr, nullptr);
  const std::vector<FLAC__int32> samples(2 * 5000, 123456);
  FLAC__stream_encoder_process_interleaved(e, samples.data(), 5000);
  EXPECT_TRUE(FLAC__stream_encoder_finish(e));
  FLAC__stream_encoder_delete(e);
  FLAC__metadata_object_delete(tags);
}

struct Fixture {
  TempDir dir;
  std::string source = dir.File("Game (Track 2).bin");
  std::vector<uint8_t> audio;
  explicit Fixture(size_t bytes) : audio(Audio(bytes)) { WriteAll(source, audio); }
  FlacJob Job(uint64_t offset, uint64_t length, const std::string& flac) const {
    return {source, {"Game (Track 2).bin", offset, length, "", ""}, dir.File(flac)};
  }
  std::vector<uint8_t> Range(uint64_t offset, uint64_t length) const {
    return {audio.begin() + long(offset), audio.begin() + long(offset + length)};
  }
};

TEST(Flac, RoundTripsEveryRangeByteForByteWithItsTags) {
  const Fixture f(2352 * 40 + 7);
  const struct {
    uint64_t offset, length;
  } cases[] = {{0, 0},
               {9, 1},
               {2, 3},
               {0, 4},
               {2352, 7056},
               {1, 11762},
               {3, 2352 * 40 + 3},
               {0, 2352 * 40 + 7}};
  std::vector<FlacJob> jobs;
  for (const auto& c : cases) {
    jobs.push_back(f.Job(c.offset, c.length, std::to_string(jobs.size()) + ".flac"));
  }
  std::vector<size_t> finished;
  const auto results = EncodeFlacs(jobs, 3, nullptr, [&](size_t job) { finished.push_back(job); });
  EXPECT_EQ(finished.size(), jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& c = cases[i];
    ASSERT_TRUE(results[i].ok) << results[i].error;
    EXPECT_EQ(results[i].flacBytes, std::filesystem::file_size(jobs[i].flacPath));
    const std::vector<uint8_t> range = f.Range(c.offset, c.length);
    Checksums sums;
    sums.Update(range.data(), range.size());
    const FlacRange expected{"Game (Track 2).bin", c.offset, c.length, sums.Finish().sha1,
                             std::string(range.end() - long(c.length % 4), range.end())};
    EXPECT_EQ(Fields(jobs[i].range), Fields(expected));

    FlacRange tags;
    std::string error;
    ASSERT_TRUE(ReadFlacRange(jobs[i].flacPath, &tags, &error)) << error;
    EXPECT_EQ(Fields(tags), Fields(expected));
    const Decoded d = Decode(jobs[i].flacPath);
    ASSERT_TRUE(d.ok && !d.stopped) << d.error;
    EXPECT_EQ(d.bytes, range);
    EXPECT_EQ(Fields(d.range), Fields(expected));

    // STREAMINFO carries the count and the MD5 of the samples, and players get a title.
    FLAC__StreamMetadata info, *comments = nullptr;
    ASSERT_TRUE(FLAC__metadata_get_streaminfo(jobs[i].flacPath.c_str(), &info));
    EXPECT_EQ(info.data.stream_info.total_samples, c.length / 4);
    sums.Update(range.data(), range.size() - c.length % 4);
    EXPECT_EQ(HexString(info.data.stream_info.md5sum, 16), sums.Finish().md5);
    ASSERT_TRUE(FLAC__metadata_get_tags(jobs[i].flacPath.c_str(), &comments));
    EXPECT_GE(FLAC__metadata_object_vorbiscomment_find_entry_from(comments, 0, "TITLE"), 0);
    FLAC__metadata_object_delete(comments);
  }

  // What cannot be encoded fails with its cause, and the other jobs still succeed.
  const struct {
    FlacJob job;
    const char* why;
  } failures[] = {
      {f.Job(2352, 2352 * 40, "past.flac"), "ends before byte 96432"},
      {{f.dir.File("missing.bin"), {"missing.bin", 0, 4, "", ""}, f.dir.File("m.flac")},
       "No such file"},
      {{f.source, {"../up.bin", 0, 4, "", ""}, f.dir.File("up.flac")}, "path separator"},
      {f.Job(0, 4, "no/such/folder.flac"), "cannot create"},
      {{f.source, {"full.bin", 0, 2352 * 40, "", ""}, "/dev/full"}, "No space left"},
      {f.Job(0, 4, "fine.flac"), nullptr},
  };
  jobs.clear();
  for (const auto& c : failures) jobs.push_back(c.job);
  const auto failed = EncodeFlacs(jobs, 0, nullptr, nullptr);
  for (size_t i = 0; i < jobs.size(); ++i) {
    EXPECT_EQ(failed[i].ok, failures[i].why == nullptr) << i;
    if (failures[i].why) {
      EXPECT_NE(failed[i].error.find(failures[i].why), std::string::npos) << failed[i].error;
    }
  }
}

TEST(Flac, RefusesDamagedAndForeignFilesWithASentence) {
  const Fixture f(2352 * 30 + 2);
  std::vector<FlacJob> jobs{f.Job(0, f.audio.size(), "good.flac")};
  ASSERT_TRUE(EncodeFlacs(jobs, 1, nullptr, nullptr)[0].ok);
  const std::string good = jobs[0].flacPath;
  const std::vector<uint8_t> bytes = ReadAll(good);
  const auto tagValue = [&](const std::string& name) {
    const std::string key = name + "=";
    return size_t(std::search(bytes.begin(), bytes.end(), key.begin(), key.end()) - bytes.begin()) +
           key.size();
  };
  const auto cut = [&](size_t size) {
    return [&, size](const std::string& p) {
      WriteAll(p, {bytes.begin(), bytes.begin() + long(size)});
    };
  };
  const auto flip = [&](size_t at, uint8_t bits) {
    return [&, at, bits](const std::string& p) {
      std::vector<uint8_t> b = bytes;
      b[at] ^= bits;
      WriteAll(p, b);
    };
  };
  const auto change = [&](size_t at, char to = 0) {  // a tag's character to another valid one
    return [&, at, to](const std::string& p) {
      std::vector<uint8_t> b = bytes;
      b[at] = to ? to : b[at] == '0' ? '1' : '0';
      WriteAll(p, b);
    };
  };
  const auto tag = [&](const char* name, std::vector<std::string> values) {
    return [&, name, values](const std::string& p) {
      std::filesystem::copy_file(good, p);
      SetTag(p, name, values);
    };
  };
  const struct {
    std::function<void(const std::string&)> damage;
    const char* why;
  } cases[] = {
      {cut(0), "not a FLAC file"},
      {[](const std::string& p) {
         WriteAll(p, {'R', 'I', 'F', 'F', 0, 0, 0, 0});
       },
       "not a FLAC"},
      {cut(20), "metadata is cut short"},
      {cut(tagValue("QUARNEL_SHA1")), "metadata is cut short"},
      {cut(bytes.size() / 2), "cut short"},
      {cut(bytes.size() - 1), "cut short"},
      {flip(bytes.size() * 2 / 3, 0x10), "frame"},
      {flip(bytes.size() - 3, 0x01), "frame"},
      {flip(26, 0x80), "MD5"},  // in STREAMINFO's MD5
      {change(tagValue("QUARNEL_FILE")), "CRC-32 does not match"},
      {change(tagValue("QUARNEL_OFFSET")), "CRC-32 does not match"},
      {change(tagValue("QUARNEL_SHA1") + 7), "CRC-32 does not match"},
      {change(tagValue("QUARNEL_TAGS_CRC32") + 2), "CRC-32 does not match"},
      {change(tagValue("QUARNEL_LENGTH") + 4, '3'), "tail tag does not hold the 3 bytes"},
      {tag("QUARNEL_LENGTH", {"1099511627777"}), "past 1 TiB"},
      {tag("QUARNEL_OFFSET", {"18446744073709551615"}), "past 1 TiB"},
      {tag("QUARNEL_OFFSET", {"184467440737095516160"}), "not a number"},
      {tag("QUARNEL_LENGTH", {"-4"}), "not a number"},
      {tag("QUARNEL_SHA1", {"abc"}), "not 40 hex digits"},
      {tag("QUARNEL_TAIL", {""}), "tail tag does not hold the 2 bytes"},
      {tag("QUARNEL_FILE", {"../../etc/passwd"}), "path separator"},
      {tag("QUARNEL_SHA1", {"0", "1"}), "two QUARNEL_SHA1 tags"},
      {tag("QUARNEL_TAGS_CRC32", {}), "no QUARNEL_TAGS_CRC32 tag"},
      {tag("TITLE", {std::string(1 << 20, 'x')}), "more than 1 MiB"},
      {[&](const std::string& p) { WriteOtherFormat(p, good); }, "24-bit, 2 channels at 48000 Hz"},
      {[](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, "not a regular file"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::string path = f.dir.File("bad" + std::to_string(i) + ".flac");
    cases[i].damage(path);
    const Decoded d = Decode(path);
    EXPECT_FALSE(d.ok || d.stopped) << i;
    EXPECT_NE(d.error.find(cases[i].why), std::string::npos) << i << ": " << d.error;
    EXPECT_EQ(d.error.find(path), std::string::npos) << i << ": the caller names the file";
  }

  // Wherever a byte flips, the file is refused or still restores exactly what it should.
  std::mt19937 random(3);
  for (int n = 0; n < 300; ++n) {
    const std::string path = f.dir.File("flip.flac");
    std::filesystem::remove(path);
    flip(random() % bytes.size(), uint8_t(1 << random() % 8))(path);
    const Decoded d = Decode(path);
    if (d.ok) {
      EXPECT_EQ(d.bytes, f.audio);
      EXPECT_EQ(Fields(d.range), Fields(jobs[0].range));
    }
  }
}

TEST(Flac, StopEndsEveryEncodeAndTheDecode) {
  const Fixture f(size_t{4} << 20);
  std::vector<FlacJob> jobs;
  for (int i = 0; i < 4; ++i) jobs.push_back(f.Job(0, f.audio.size(), std::to_string(i) + ".flac"));
  for (const FlacResult& r : EncodeFlacs(
           jobs, 2, [] { return true; }, nullptr)) {
    EXPECT_TRUE(r.stopped && !r.ok);
    EXPECT_NE(r.error.find("stopped"), std::string::npos) << r.error;
  }
  jobs.resize(1);
  ASSERT_TRUE(EncodeFlacs(jobs, 1, nullptr, nullptr)[0].ok);
  const Decoded d = Decode(jobs[0].flacPath, [] { return true; });
  EXPECT_TRUE(d.stopped && !d.ok);
  EXPECT_NE(d.error.find("stopped"), std::string::npos) << d.error;
}

TEST(Flac, TheFlacCommandDecodesOurFiles) {
  if (std::system("command -v flac >/dev/null 2>&1") != 0) GTEST_SKIP() << "no flac command";
  const Fixture f(2352 * 10 + 3);
  std::vector<FlacJob> jobs{f.Job(0, f.audio.size(), "ours.flac")};
  ASSERT_TRUE(EncodeFlacs(jobs, 1, nullptr, nullptr)[0].ok);
  const std::string raw = f.dir.File("out.raw");
  const std::string command = "flac -d -s --force-raw-format --endian=little --sign=signed -o '" +
                              raw + "' '" + jobs[0].flacPath + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadAll(raw), f.Range(0, 2352 * 10));
}

}  // namespace
}  // namespace quarnel
