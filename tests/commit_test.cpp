#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "common/commit_group.h"
#include "common/output_file.h"
#include "packing/block_codec.h"
#include "packing/compressed_reader.h"
#include "packing/compressed_writer.h"
#include "test_support.h"

namespace quarnel {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;
using Pair = std::pair<std::vector<uint8_t>, std::vector<uint8_t>>;
namespace fs = std::filesystem;

std::string SideOf(const std::string& d, CompressionMode mode) {
  return d + KindOf(mode).tableSuffix;
}

// Stages a three-block image of bytes `fill` under `d`.
void Stage(CompressedWriter& w, const std::string& d, CompressionMode mode, uint8_t fill) {
  ASSERT_TRUE(w.Create(d, mode)) << w.Error();
  BlockCompressor c;
  std::vector<uint8_t> raw(KindOf(mode).rawBlockLength, fill), packed(2 * raw.size());
  for (int i = 0; i < 3; ++i) {
    const size_t n = mode == CompressionMode::Bzip2
                         ? c.Bzip2(raw.data(), raw.size(), packed.data(), 1 << 16)
                         : c.Zlib(raw.data(), raw.size(), packed.data(), 1 << 16);
    ASSERT_TRUE(w.AppendBlock(packed.data(), static_cast<uint32_t>(n), XaTag{}));
  }
  ASSERT_TRUE(w.EndBlocks());
}

Pair Made(const std::string& d, CompressionMode mode, uint8_t fill) {
  CompressedWriter w;
  Stage(w, d, mode, fill);
  EXPECT_TRUE(w.Commit()) << w.Error();
  return {ReadAll(d), ReadAll(SideOf(d, mode))};
}

// Every regular file below `dir` with its bytes.
std::map<std::string, std::vector<uint8_t>> Snapshot(const TempDir& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::recursive_directory_iterator(dir.Path())) {
    if (!e.is_symlink() && e.is_regular_file()) {
      files[e.path().lexically_relative(dir.Path()).string()] = ReadAll(e.path().string());
    }
  }
  return files;
}

// A kill after any step of a commit, or a failed sync or rename, leaves the old pair, no pair, the
// new data file alone, or a record, never a mix; a failure reports no success, removes no file
// that has its final name, and says where the new image lies. Whatever the next command opens is
// then one image whole.
TEST(CommitGroup, AnInterruptedCommitLeavesOneImageWholeNeverAMix) {
  using Fault = CommitGroup::Fault;
  // kill after step (synced, recorded, hidden, D renamed, T renamed), whether as a second Ctrl-C
  // (listed temporaries removed) rather than a SIGKILL, fault and its file, the error with D as
  // '@' and T as '#'
  std::vector<std::tuple<int, bool, Fault, size_t, std::string>> cases = {
      {0, false, Fault::SYNC, 1, "cannot write #: Input/output error; nothing was replaced"},
      {0, false, Fault::RENAME, 0,
       "cannot rename @.partial onto @: Input/output error; @ is complete in @.partial; # is "
       "complete in #.partial; the next command that opens @ finishes the writing"},
      {0, false, Fault::RENAME, 1,
       "cannot rename #.partial onto #: Input/output error; @ holds the new version; # is "
       "complete in #.partial; the next command that opens @ finishes the writing"},
  };
  for (const bool hard : {false, true}) {
    for (int step = 1; step <= 5; ++step) cases.emplace_back(step, hard, Fault::NONE, 0, "");
  }
  for (const auto& [name, mode] :
       {std::pair{"game.bin.Z", CompressionMode::Zlib}, {"g.bz", CompressionMode::Bzip2}}) {
    TempDir ref;
    const Pair oldPair = Made(ref.File(name), mode, 1), newPair = Made(ref.File(name), mode, 2);
    for (const bool oldExists : {true, false}) {
      for (const auto& [step, hard, fault, file, pattern] : cases) {
        SCOPED_TRACE(::testing::Message()
                     << name << " old " << oldExists << " step " << step << " hard " << hard
                     << " fault " << static_cast<int>(fault) << file);
        TempDir dir;
        const std::string d = dir.File(name), t = SideOf(d, mode);
        std::string line;
        for (const char c : pattern) line += c == '@' ? d : c == '#' ? t : std::string(1, c);
        if (oldExists) {
          WriteAll(d, oldPair.first);
          WriteAll(t, oldPair.second);
        }
        const bool recorded = step >= 2 || fault == Fault::RENAME;
        {
          CompressedWriter w;
          Stage(w, d, mode, 2);
          CommitGroup::KillAfterStepForTesting(step, hard);
          CommitGroup::FailForTesting(fault, file);
          EXPECT_FALSE(w.Commit());
          CommitGroup::KillAfterStepForTesting(0);
          CommitGroup::FailForTesting(Fault::NONE);
          if (fs::exists(d) && fs::exists(t)) {
            EXPECT_EQ(Pair(ReadAll(d), ReadAll(t)), step == 5 ? newPair : oldPair);
          }
          EXPECT_EQ(fs::exists(t), step == 5 || (oldExists && step <= 2 && fault != Fault::RENAME));
          if (fault != Fault::NONE) {
            EXPECT_EQ(std::tuple(w.Error(), w.Recorded(), w.Failed()->Path()),
                      std::tuple(line, recorded, file == 0 ? d : t));
          }
          w.Discard();
        }  // after a kill, as after a SIGKILL: nothing is removed
        {
          CompressedReader r;
          ASSERT_EQ(r.Open(d), recorded || oldExists) << r.Error();
          if (recorded || oldExists) {
            EXPECT_EQ(Pair(ReadAll(d), ReadAll(t)), recorded ? newPair : oldPair);
          }
          const std::string done = step == 5 ? "finished" : "completed";
          EXPECT_EQ(r.RepairLine().rfind(done + " the interrupted writing of " + d + " and " + t),
                    recorded ? 0 : std::string::npos)
              << r.RepairLine();
        }
        // The next run replaces it all; leftover temporaries are removed on the way.
        EXPECT_EQ(Made(d, mode, 1), oldPair);
        EXPECT_EQ(Snapshot(dir).size(), 2u);
      }
    }
  }
}

// No run writes into a file that existed: a temporary that is a link, or another run's, is
// refused and left as it was; a leftover one no run holds is replaced by a new file; a work file's
// name is emptied first. A name whose work files would not fit is refused before anything exists.
TEST(OutputFile, NothingIsWrittenIntoAFileThatExisted) {
  enum Setup { LINKED_DATA_TEMP, LINKED_SIDE_TEMP, SYMLINKED_TEMP, HELD_TEMP, STALE_TEMP, WORK };
  // setup, the name prepared, created, what the error says
  const std::tuple<Setup, const char*, bool, const char*> cases[] = {
      {LINKED_DATA_TEMP, "game.bin.Z.partial", false, ".partial is a hard link to another file"},
      {LINKED_SIDE_TEMP, "game.bin.Z.table.partial", false, "is a hard link to another file"},
      {SYMLINKED_TEMP, "game.bin.Z.partial", false, " is in the way and is not a regular file"},
      {HELD_TEMP, "game.bin.Z.partial", false, ".partial is busy: another run is writing it"},
      {STALE_TEMP, "game.bin.Z.partial", true, ""},
      {WORK, "work.wav", true, ""},  // a symbolic link
      {WORK, "work.raw", true, ""},  // a hard link
  };
  const std::vector<uint8_t> other = {9, 9, 9};
  for (const auto& [setup, prepared, created, said] : cases) {
    SCOPED_TRACE(prepared);
    TempDir dir;
    const std::string d = dir.File("game.bin.Z"), victim = dir.File(prepared);
    WriteAll(dir.File("other"), other);
    if (setup == SYMLINKED_TEMP || victim.ends_with(".wav")) {
      fs::create_symlink(dir.File("other"), victim);
    } else if (setup == STALE_TEMP || setup == HELD_TEMP) {
      WriteAll(victim, other);
    } else {
      fs::create_hard_link(dir.File("other"), victim);
    }
    const int held = ::open(victim.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    ASSERT_TRUE(setup != HELD_TEMP || ::flock(held, LOCK_EX | LOCK_NB) == 0);
    if (setup == WORK) {
      OutputFile f;
      ASSERT_TRUE(f.Create(victim) && f.Write("ab", 2) && f.Close());
      EXPECT_TRUE(f.Replaces());
      EXPECT_EQ(ReadAll(victim), (std::vector<uint8_t>{'a', 'b'}));
    } else {
      CompressedWriter w;
      EXPECT_EQ(w.Create(d, CompressionMode::Zlib), created) << w.Error();
      EXPECT_NE(w.Error().find(said), std::string::npos) << w.Error();
      EXPECT_EQ(w.Failed() != nullptr && w.Failed()->Busy(), setup == HELD_TEMP);
      EXPECT_TRUE(!created || (w.EndBlocks() && w.Commit())) << w.Error();
    }
    struct stat st;
    uint8_t bytes[4];
    if (setup == STALE_TEMP) {  // unlinked, and never written
      EXPECT_TRUE(::fstat(held, &st) == 0 && st.st_nlink == 0 && ::pread(held, bytes, 4, 0) == 3);
    }
    if (held >= 0) ::close(held);
    EXPECT_EQ(ReadAll(dir.File("other")), other);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.Path())) names.insert(e.path().filename());
    const std::set<std::string> made = {"game.bin.Z", "game.bin.Z.table", "other"},
                                kept = {prepared, "other"};
    EXPECT_EQ(names, created && setup != WORK ? made : kept);
  }

  OutputFile folder;
  TempDir dir;
  fs::create_directory(dir.File("work"));
  EXPECT_FALSE(folder.Create(dir.File("work")));
  EXPECT_EQ(folder.Errno(), EISDIR);
  // The data file's last name part with ".commit.partial" must fit in 255 bytes.
  for (const size_t length : {240u, 241u, 244u}) {
    const std::string d = dir.File(std::string(length - 2, 'n') + ".Z");
    CompressedWriter w;
    EXPECT_EQ(w.Create(d, CompressionMode::Zlib), length == 240) << length;
    if (length == 240) continue;
    EXPECT_EQ(w.Failed()->Errno(), ENAMETOOLONG);
    EXPECT_EQ(w.Error().rfind("the name " + d + " is too long", 0), 0u) << w.Error();
    EXPECT_EQ(Snapshot(dir).size(), 0u);
  }
}

// A staged file appears under its name only whole: when the commit's flush of the last buffered
// bytes fails (here on the file size limit, as on a full disk), nothing is renamed and the file
// that stood there keeps its bytes.
TEST(OutputFile, AFailedFlushAtCommitReplacesNothing) {
  TempDir dir;
  const std::string path = dir.File("game.bin");
  const std::vector<uint8_t> old = {'o', 'l', 'd'}, bytes(400, 7);
  WriteAll(path, old);
  OutputFile f;
  ASSERT_TRUE(f.CreateStaged(path) && f.Write(bytes.data(), bytes.size()));  // still buffered
  struct rlimit limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const struct rlimit lowered = {100, limit.rlim_max};
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
  const bool committed = f.Commit();
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, handler);
  EXPECT_FALSE(committed);
  EXPECT_EQ(f.Errno(), EFBIG);
  EXPECT_EQ(ReadAll(path), old);
  f.Discard();
  EXPECT_EQ(Snapshot(dir).size(), 1u);
}

// A commit record is acted on only when whole and naming nothing but the image's own files in
// its folder; any other is refused with a reason, and nothing moves. One held by a run still
// committing makes the image busy.
TEST(CommitGroup, ARecordNamingAnyOtherFileIsRefusedAndNothingMoves) {
  const std::string good =
      "move|game.bin.Z.partial|game.bin.Z|move|game.bin.Z.table.partial|"
      "game.bin.Z.table|end|";
  // the record ('|' for NUL bytes), what the refusal says
  const std::pair<std::string, std::string> cases[] = {
      {"move|../x.partial|../x|end|", "it names ../x.partial, which is not a file of game.bin.Z"},
      {"hide|../x|" + good, "it names ../x, which"},
      {"move|game.bin.Z.partial|game.bin.Z|move|notes.partial|notes|end|", "it names notes,"},
      {"move|game.bin.Z.table.partial|game.bin.Z.table|end|", "it names game.bin.Z.table,"},
      {"move|game.bin.Z.partial|game.bin.Z|", "is damaged: it is cut short"},
      {good + "x", "is damaged: it goes on after its end"},
      {good, "game.bin.Z.partial, which is not the file the interrupted run wrote"},
      {good, "is busy: another run is finishing writing it"},
  };
  for (const auto& [fields, said] : cases) {
    SCOPED_TRACE(said);
    TempDir dir;
    fs::create_directory(dir.Path() / "in");
    const std::string d = dir.File("in/game.bin.Z");
    for (const std::string name : {"x", "x.partial", "in/game.bin.Z", "in/game.bin.Z.table",
                                   "in/game.bin.Z.table.partial", "in/notes.partial"}) {
      WriteAll(dir.File(name), std::vector<uint8_t>(name.begin(), name.end()));
    }
    if (said.find("not the file") != std::string::npos) {
      fs::create_hard_link(dir.File("x"), d + PARTIAL_SUFFIX);
    } else {
      WriteAll(d + PARTIAL_SUFFIX, {1});
    }
    std::string record = "quarnel-commit-1\n" + fields;
    for (char& c : record) c = c == '|' ? '\0' : c;
    WriteAll(d + COMMIT_SUFFIX, std::vector<uint8_t>(record.begin(), record.end()));
    const int held = ::open((d + COMMIT_SUFFIX).c_str(), O_RDONLY | O_CLOEXEC);
    const bool busy = said.find("busy") != std::string::npos;
    ASSERT_TRUE(!busy || ::flock(held, LOCK_EX | LOCK_NB) == 0);
    const auto before = Snapshot(dir);

    const CommitRepair repair = CompleteInterruptedImageCommit(d);
    EXPECT_EQ(repair.result, busy ? CommitRepair::BUSY : CommitRepair::REFUSED);
    EXPECT_NE(repair.line.find(said), std::string::npos) << repair.line;
    CompressedReader r;
    EXPECT_FALSE(r.Open(d));
    EXPECT_EQ(std::pair(r.Error(), r.Busy()), std::pair(repair.line, busy));
    CompressedWriter w;
    EXPECT_FALSE(w.Create(d, CompressionMode::Zlib));
    EXPECT_EQ(w.Error(), repair.line);
    EXPECT_EQ(Snapshot(dir), before);
    ::close(held);
  }
}

}  // namespace
}  // namespace quarnel
