#!/usr/bin/env bash
# Mutation check of the test suite: breaks one place of the code at a time in a scratch copy of
# the tree, rebuilds both test programs (the core's and the window's) and runs them. Every
# mutation must make the suite fail; one that passes is a gap in the tests. Slow (a build and a
# suite run per mutation), so not part of CI.
#
# Usage: scripts/mutations.sh [REPO] [NAME-FILTER]
#   REPO         the tree to copy (default: the one holding this script), uncommitted files included
#   NAME-FILTER  run only the mutations whose name contains this text ('a|b': either)
# Exit status: 0 when every mutation is caught, 1 when one is not or cannot be applied.
set -euo pipefail

# shellcheck source=scripts/packages.sh
source "$(dirname "$0")/packages.sh"
install_packages "${BUILD_PACKAGES[@]}" ccache python3 git lame ffmpeg flac

repo=$(cd "${1:-$(dirname "$0")/..}" && pwd)
filter=${2:-}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-mutations-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

git -C "$repo" ls-files -z --cached --others --exclude-standard |
  (cd "$repo" && tar --null --ignore-failed-read -T - -cf -) | tar -C "$scratch" -xf -

export CCACHE_BASEDIR="$scratch"
cmake -S "$scratch" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_BENCH=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache > "$scratch/configure.log"
echo "Building the unchanged tree in $scratch ..."
cmake --build "$scratch/build" --target quarnel_tests quarnel_window_tests > "$scratch/build.log" 2>&1 ||
  { tail -20 "$scratch/build.log"; echo "ERROR: the unchanged tree does not build"; exit 1; }
# A suite that already fails would make every mutation look caught.
echo "Running the suite on the unchanged tree ..."
ctest --test-dir "$scratch/build" -j2 --timeout 600 -E '_NOT_BUILT$' > "$scratch/baseline.log" 2>&1 ||
  { grep -E 'Failed|Exception|Timeout' "$scratch/baseline.log"; echo "ERROR: the unchanged suite fails"; exit 1; }

python3 - "$scratch" "$filter" <<'PYTHON'
import pathlib, re, subprocess, sys, time

root = pathlib.Path(sys.argv[1])
name_filter = sys.argv[2]

# name, file, exact original snippet (must occur once), broken replacement
MUTATIONS = [
    ("xa: cycle learned one sector long", "src/analysis/xa_detector.cpp",
     "start.\n    rotationLast_ = (s - streamStart_) - 1;",
     "start.\n    rotationLast_ = (s - streamStart_);"),
    ("xa: displaced run closed at the wrong cycle", "src/analysis/xa_detector.cpp",
     "CloseRun(e, s - (rotationLast_ + 1), e)", "CloseRun(e, s - rotationLast_, e)"),
    ("xa: rotation wraps one position early", "src/analysis/xa_detector.cpp",
     "if (rotationPosition_ > rotationLast_) rotationPosition_ = 0;\n    const uint8_t e",
     "if (rotationPosition_ >= rotationLast_) rotationPosition_ = 0;\n    const uint8_t e"),
    ("xa: unlearned cycle closed a sector late", "src/analysis/xa_detector.cpp",
     "s - streamStart_ >= MAX_CYCLE", "s - streamStart_ > MAX_CYCLE"),
    ("xa: silent end looked for in the wrong sound group", "src/analysis/xa_detector.cpp",
     "IsSilentSoundGroup(sector, 16) &&", "IsSilentSoundGroup(sector, 15) &&"),
    ("xa: record number past the table mapped", "src/analysis/xa_detector.cpp",
     "record < XA_RECORD_TABLE_SIZE) {\n    analysis_.SectorRecordMap",
     "record <= XA_RECORD_TABLE_SIZE) {\n    analysis_.SectorRecordMap"),
    ("decoder: stereo pair at the wrong sound-group offset", "src/xa/xa_decoder.cpp",
     "int16_t* base = out + 2 * kUnitSamples * j;", "int16_t* base = out + kUnitSamples * j;"),
    ("decoder: skipped mono unit still advances the output", "src/xa/xa_decoder.cpp",
     "if (DecodeUnit(decoder, params[2 * j], words + j, 0, history, out, 1)) out += kUnitSamples;",
     "DecodeUnit(decoder, params[2 * j], words + j, 0, history, out, 1);\n    out += kUnitSamples;"),
    ("decoder: filter weights swapped", "src/xa/xa_decoder.cpp",
     "kFilterK1[kFilterCount] = {0, 0, -52, -55, -60};",
     "kFilterK1[kFilterCount] = {0, 0, -55, -52, -60};"),
    ("decoder: shift table rows 13-15 not wrapped", "src/xa/xa_decoder.cpp",
     "const int amount = (12 - r) & 31;", "const int amount = (12 - r) & 15;"),
    ("decoder: prediction rounded towards zero", "src/xa/xa_decoder.cpp",
     "(k0 * h1 + k1 * h2) >> 6;", "(k0 * h1 + k1 * h2) / 64;"),
    ("decoder: init keeps the old history", "src/xa/xa_decoder.cpp",
     "for (int32_t& value : decoder.XaDecoderState) value = 0;", ""),
    ("ripping: ten-percent ratio off by one", "src/packing/media_ripping.cpp",
     "if (ratio > TEN_PERCENT)", "if (ratio >= TEN_PERCENT)"),
    ("ripping: FF8 clearing starts in the sector header", "src/packing/media_ripping.cpp",
     "FF8_CLEAR_START = USER_DATA_OFFSET + 8;", "FF8_CLEAR_START = USER_DATA_OFFSET + 4;"),
    ("ripping: clearing stops short of the user data's end", "src/packing/media_ripping.cpp",
     "VIDEO_CLEAR_END = USER_DATA_OFFSET + FORM1_USER_DATA_SIZE;",
     "VIDEO_CLEAR_END = USER_DATA_OFFSET + FORM1_USER_DATA_SIZE - 4;"),
    ("ripping: switching form overwrites the subheader", "src/packing/media_ripping.cpp",
     "SWITCHING_COPY_START = USER_DATA_OFFSET + 4;", "SWITCHING_COPY_START = SUBHEADER_OFFSET;"),
    ("ripping: switching form restarts the source", "src/packing/media_ripping.cpp",
     "    readPosition_ = 1;\n", "    readPosition_ = 0;\n"),
    ("media list: tenth allowed without \"Rip:\"", "src/analysis/media_marks.cpp",
     "record.rip != 1 || record.kind != MEDIA_VIDEO", "record.kind != MEDIA_VIDEO"),
    ("media list: Up disabled on the second page", "src/shell/media_page.cpp",
     "FirstVisibleRow >= MEDIA_PAGE_ROWS);", "FirstVisibleRow > MEDIA_PAGE_ROWS);"),
    ("panel: first character taken for a line end", "src/shell/panel.cpp",
     "panel.find('\\n', 1)", "panel.find('\\n')"),
    ("panel: trimmed at the limit, not past it", "src/shell/panel.cpp",
     "if (panel.size() > PANEL_TEXT_LIMIT) {", "if (panel.size() >= PANEL_TEXT_LIMIT) {"),
    ("compression: unmarked XA streams force the XA mode", "src/packing/process_disc.cpp",
     "xaRipped |= r.rip != 0 && r.kind == MEDIA_XA;", "xaRipped |= r.kind == MEDIA_XA;"),
    ("video: short run before audio kept", "src/analysis/sector_scan.cpp",
     "const bool cancelled = n < MIN_VIDEO_SECTORS_BEFORE_AUDIO;",
     "const bool cancelled = n <= MIN_VIDEO_SECTORS_BEFORE_AUDIO;"),
    ("video: movie split a sector late", "src/analysis/sector_scan.cpp",
     "CloseVideo(s - 1);\n        if (!tableFull_) OpenVideo(s);",
     "CloseVideo(s);\n        if (!tableFull_) OpenVideo(s);"),
    ("video: enhanced frame step backwards refused", "src/analysis/sector_scan.cpp",
     "if (step >= -1 && step <= 1)", "if (step >= 0 && step <= 1)"),
    ("bzip2 index: closing offset dropped", "src/packing/compressed_writer.cpp",
     "if (!KindOf(mode_).closingOffset) return true;\n  uint8_t closing[4];",
     "return true;\n  uint8_t closing[4];"),
    ("uncompress: damaged block written as decoded", "src/packing/block_restore.cpp",
     "    if (block.damaged) {\n      std::memset", "    if (false) {\n      std::memset"),
    ("uncompress: short middle block accepted", "src/packing/block_restore.cpp",
     "job.good && job.produced < rawLength_ && job.block + 1 != n_;", "false;"),
    ("side file: zero stored length accepted", "src/packing/compressed_reader.cpp",
     "if (e.length == 0) return Refuse(block + \": its stored length is 0\", EINVAL);", ""),
    ("process: temporaries committed on a stop", "src/packing/process_disc.cpp",
     "if (ok && !stopped_) ok = Commit();", "if (ok) ok = Commit();"),
    ("xa tag: channel without the first-sector bit", "src/packing/audio_extraction.cpp",
     "if (n == r->firstSector) tag.channel |= XA_TAG_FIRST_SECTOR;", ""),
    ("cue sheet: keyword matched anywhere in the line", "src/analysis/cue_sheet.cpp",
     "const std::string keyword = TakeWord(line);",
     "std::string keyword = TakeWord(line);\n    while (!line.empty() && keyword != \"FILE\" && "
     "keyword != \"TRACK\" && keyword != \"INDEX\") keyword = TakeWord(line);"),
    ("track set: partial sector of a middle file kept", "src/common/image_file.cpp",
     "OpenPart(paths[i], i + 1 < paths.size())", "OpenPart(paths[i], false)"),
    ("process --verify: restored SHA-1 not compared", "src/packing/process_disc.cpp",
     "verified.restored.size == written.size &&\n      verified.restored.sha1 == written.sha1",
     "verified.restored.size == written.size"),
    ("window: UP and DOWN left enabled while an analysis runs", "src/shell/main_window.cpp",
     "replaces the table.\n      return analysing_;", "replaces the table.\n      return false;"),
    ("commit: a staged file renamed before it is flushed and synced", "src/common/output_file.cpp",
     "  if (!Sync()) return false;\n  // The temporary stays open, and locked, until it has its final "
     "name.\n  if (::rename(temporary_.c_str(), path_.c_str()) != 0) {\n    const int error = errno;\n"
     "    return Fail(error, \"cannot rename \" + temporary_ + \" onto \" + path_ + \": \" + "
     "Strerror(error));\n  }\n  Renamed();\n",
     "  if (::rename(temporary_.c_str(), path_.c_str()) != 0) {\n    const int error = errno;\n"
     "    return Fail(error, \"cannot rename \" + temporary_ + \" onto \" + path_ + \": \" + "
     "Strerror(error));\n  }\n  Renamed();\n  if (!Sync()) return false;\n"),
    ("commit group: files renamed before they are flushed and synced", "src/common/commit_group.cpp",
     "    if (!f.Sync()) {\n      Blame(result, f, f.Error() + \"; nothing was replaced\");",
     "    if (false) {\n      Blame(result, f, f.Error() + \"; nothing was replaced\");"),
    ("commit group: the record not written", "src/common/commit_group.cpp",
     "  if (!WriteRecord(result)) return result;\n", ""),
    ("commit group: the old side file not hidden before the data file is renamed",
     "src/packing/compressed_writer.cpp",
     "CommitGroup group(files, {table_.Path()});", "CommitGroup group(files, {});"),
    ("commit group: the side file renamed before the data file", "src/common/commit_group.cpp",
     "  for (size_t i = 0; i < files_.size(); ++i) {\n    OutputFile& f = *files_[i];\n"
     "    const std::string from",
     "  for (size_t j = files_.size(); j-- > 0;) {\n    const size_t i = j;\n"
     "    OutputFile& f = *files_[i];\n    const std::string from"),
    ("lock: a raw input read without its shared lock", "src/common/image_file.cpp",
     "} else if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {", "} else if (false) {"),
    ("lock: a compressed image read without its shared lock", "src/packing/compressed_reader.cpp",
     "if (lock && ::flock(*fd, LOCK_SH | LOCK_NB) != 0) {", "if (false) {"),
    ("lock: a compressed image's reader takes an exclusive lock", "src/packing/compressed_reader.cpp",
     "if (lock && ::flock(*fd, LOCK_SH | LOCK_NB) != 0) {",
     "if (lock && ::flock(*fd, LOCK_EX | LOCK_NB) != 0) {"),
    ("lock: a raw input's reader takes an exclusive lock", "src/common/image_file.cpp",
     "} else if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {",
     "} else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {"),
    ("side file: a block one byte past the data file's end accepted",
     "src/packing/compressed_reader.cpp",
     "if (uint64_t{e.offset} + e.length > dataSize_) {",
     "if (uint64_t{e.offset} + e.length > dataSize_ + 1) {"),
    ("side file: a stored length of twice the raw block refused", "src/packing/compressed_reader.cpp",
     "if (e.length > largest) {", "if (e.length >= largest) {"),
    ("structure: an XA record ending on the sector past the blocks accepted",
     "src/packing/image_structure.cpp",
     "s.xa && e.lastSector >= blockSectors", "s.xa && e.lastSector > blockSectors"),
    ("verify --source: a range that only starts inside the media counted as inside",
     "src/packing/verify_image.cpp",
     "return r.first >= m.first && r.last <= m.last;", "return r.first >= m.first && r.first <= m.last;"),
    ("stop: not seen while the MP3 encoders run", "src/packing/mp3_phases.cpp",
     "return reporter.StopRequested();", "return false;"),
    ("stop: not seen while the FLACs are written", "src/packing/lossless_tracks.cpp",
     "return reporter.StopRequested();", "return false;"),
    ("link: a .partial temporary opened without O_EXCL and O_NOFOLLOW", "src/common/output_file.cpp",
     "O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);\n    if (fd >= 0) {\n      // Another",
     "O_RDWR | O_CREAT | O_CLOEXEC, 0666);\n    if (fd >= 0) {\n      // Another"),
    ("link: a link in the work folder followed", "src/common/platform.cpp",
     "::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW)", "::fstatat(fd_, name.c_str(), &st, 0)"),
    ("link: a link where a stale private work folder lies followed and emptied",
     "src/common/platform.cpp",
     "::openat(parentFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);",
     "::openat(parentFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);"),
]

def run(args, log):
    with open(log, "w") as out:
        return subprocess.run(args, stdout=out, stderr=subprocess.STDOUT).returncode

results = []
for name, rel, original, broken in MUTATIONS:
    if name_filter and not any(f in name for f in name_filter.split("|")):
        continue
    path = root / rel
    text = path.read_text()
    if text.count(original) != 1:
        results.append((name, "NOT APPLIED (snippet not found once)"))
        print(f"{name}: NOT APPLIED", flush=True)
        continue
    start = time.time()
    path.write_text(text.replace(original, broken))
    try:
        build = run(["cmake", "--build", str(root / "build"), "--target", "quarnel_tests",
                     "quarnel_window_tests"],
                    root / "mutation-build.log")
        if build != 0:
            verdict = "caught (does not build)"
        else:
            tests = run(["ctest", "--test-dir", str(root / "build"), "-j2", "--stop-on-failure",
                         "--timeout", "300", "-E", "_NOT_BUILT$"], root / "mutation-ctest.log")
            verdict = "caught" if tests != 0 else "GAP: the suite passed"
            if tests != 0:
                failed = re.findall(r"Test +#\d+: (\S+) .*\*\*\*(?:Failed|Exception|Timeout)",
                                    (root / "mutation-ctest.log").read_text())
                if failed:
                    verdict += " by " + failed[0]
    finally:
        path.write_text(text)
    results.append((name, verdict))
    print(f"{name}: {verdict} ({time.time() - start:.0f} s)", flush=True)

print("\nmutation | result")
for name, verdict in results:
    print(f"{name} | {verdict}")
sys.exit(0 if all(v.startswith("caught") for _, v in results) else 1)
PYTHON
