#!/usr/bin/env bash
# Builds quarnel (Release, in build/) and runs it.
#   ./run.sh           opens the window
#   ./run.sh demo      writes the sample disc to a fresh folder, analyses it, compresses it in
#                      each of the three kinds and restores each one, converts its sound to MP3,
#                      does the same with its one-file-per-track set, keeps that set whole with
#                      its audio as FLAC and gives every file back, and verifies every image
#   ./run.sh ARGS...   runs build/quarnel ARGS...
set -euo pipefail
cd "$(dirname "$0")"
# shellcheck source=scripts/packages.sh
source scripts/packages.sh

build() {
  install_packages "${BUILD_PACKAGES[@]}" lame
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
  cmake --build build --target quarnel >&2
}

QUARNEL="$PWD/build/quarnel"

# The "firstSector-lastSector" of medium $2 in the analysis document $1.
media_range() {
  grep -o "{\"index\":$2,\"kind\":\"[a-z]*\",\"firstSector\":[0-9]*,\"lastSector\":[0-9]*" "$1" |
    sed -E 's/.*"firstSector":([0-9]+),"lastSector":([0-9]+)/\1-\2/'
}

# The index of the first medium of kind $2 ("video" or "xa") in the analysis document $1.
first_medium() {
  grep -o "{\"index\":[0-9]*,\"kind\":\"$2\"" "$1" | head -n 1 | sed -E 's/[^0-9]//g'
}

size_of() {
  stat -c %s "$1"
}

# Compresses a copy of the sample disc in its own folder $2 with the process options that follow,
# restores it and compares the result with the source. $1 is the data file's extension; $3 the
# media that the options rip ("I,J", or empty), inside which sectors may differ.
pack_and_restore() {
  local ext=$1 sub=$2 ripped=$3
  shift 3
  local source="$DEMO/sample.bin"

  mkdir "$sub"
  cp "$source" "$DEMO/sample.cue" "$sub/"
  echo "== In $sub: quarnel process sample.bin $*"
  (cd "$sub" && "$QUARNEL" process sample.bin "$@")
  echo "   sample.bin.$ext: $(size_of "$sub/sample.bin.$ext") bytes;" \
    "its block table: $(size_of "$sub/sample.bin.$ext".*) bytes"
  echo
  # Uncompress restores into the name without the extension and never replaces a file without
  # --force: the copy goes, the source stays in $DEMO.
  rm "$sub/sample.bin"
  echo "== In $sub: quarnel uncompress sample.bin.$ext"
  (cd "$sub" && "$QUARNEL" uncompress "sample.bin.$ext")
  local restored="$sub/sample.bin" length
  length=$(size_of "$restored")
  local sectors=$((length / 2352)) total=$(($(size_of "$source") / 2352))
  echo "   restored sample.bin: $length bytes, $sectors of the source's $total sectors: the data"
  echo "   track (sectors 0 to $DATA_TRACK_END) up to the end of the block that holds its last" \
    "sector; the CD-DA tracks behind it are kept as MP3 for the emulator, not as the dump's bytes"

  local ranges="" index
  for index in ${ripped//,/ }; do
    ranges+="${ranges:+,}$(media_range "$DEMO/analysis.json" "$index")"
  done
  # cmp -l lists the differing bytes (1-based offsets); awk turns them into sectors and checks
  # each against the ripped media. cmp exits 1 when the files differ, 2 on trouble.
  local counts
  counts=$({ cmp -l -n "$length" "$source" "$restored" || (($? == 1)); } |
    awk -v ranges="$ranges" -v size=2352 '
      BEGIN {
        n = split(ranges, r, ",")
        for (i = 1; i <= n; i++) { split(r[i], b, "-"); lo[i] = b[1] + 0; hi[i] = b[2] + 0 }
      }
      {
        s = int(($1 - 1) / size)
        if (NR > 1 && s == last) next
        last = s
        count++
        for (i = 1; i <= n; i++) if (s >= lo[i] && s <= hi[i]) next
        outside++
        if (outside <= 5) list = list " " s
      }
      END { printf "%d %d%s\n", count, outside, list }')
  local differing outside list
  read -r differing outside list <<<"$counts"
  if [[ -z $ripped ]]; then
    if ((differing == 0)); then
      echo "   RESULT: the restored image equals the source up to its length ($length bytes)"
    else
      echo "   RESULT: FAILED: $differing sectors differ from the source (first ones: $list)"
      return 1
    fi
  elif ((outside == 0)); then
    echo "   RESULT: $differing sectors differ from the source, all inside the ripped media" \
      "(sectors ${ranges//,/ and }); everything else is equal"
  else
    echo "   RESULT: FAILED: $outside sectors differ outside the ripped media (first ones: $list)"
    return 1
  fi
  echo
}

# Processes a copy of the sample disc in its own folder $1 with the options that follow, keeping
# the sound's work files in $1/audio; quarnel lists the sections it appended.
mp3_run() {
  local sub=$1
  shift
  mkdir "$sub"
  cp "$DEMO/sample.bin" "$DEMO/sample.cue" "$sub/"
  echo "== In $sub: quarnel process sample.bin --work-folder audio $*"
  (cd "$sub" && "$QUARNEL" process sample.bin --work-folder audio "$@")
  echo "   the work files: $(cd "$sub/audio" && echo *)"
  echo
}

# The sample as players keep their dumps, one file per track with a cue sheet, in its own folder
# $1: compressed through the sheet and restored; the data track's file must come back whole.
track_set_run() {
  local sub=$1 data="Sample Game (Track 1).bin"
  mkdir "$sub"
  cp "$DEMO"/"Sample Game (Track "*").bin" "$DEMO/Sample Game.cue" "$sub/"
  echo "== In $sub: quarnel process Sample Game.cue"
  (cd "$sub" && "$QUARNEL" process "Sample Game.cue")
  mv "$sub/$data" "$sub/$data.dump"
  echo "== In $sub: quarnel uncompress \"$data.Z\""
  (cd "$sub" && "$QUARNEL" uncompress "$data.Z")
  if cmp -s "$sub/$data" "$sub/$data.dump"; then
    echo "   RESULT: the restored \"$data\" equals the dump's file byte for byte"
  else
    echo "   RESULT: FAILED: the restored \"$data\" differs from the dump's file"
    return 1
  fi
  rm "$sub/$data.dump"
  echo
}

# The set kept whole in its own folder $1: process --flac keeps the audio tracks losslessly beside
# the image, the originals go, uncompress gives every file back, and verify checks the game against
# a DAT made from the originals' checksums (as a dump database lists them).
whole_dump_run() {
  local sub=$1 data="Sample Game (Track 1).bin" f
  mkdir "$sub" "$sub/originals"
  cp "$DEMO"/"Sample Game (Track "*").bin" "$DEMO/Sample Game.cue" "$sub/"
  {
    echo '<?xml version="1.0"?>'
    echo '<datafile><header><name>Demo</name></header><game name="Sample Game">'
    for f in "$sub"/"Sample Game"*; do
      echo "<rom name=\"$(basename "$f")\" size=\"$(size_of "$f")\"" \
        "sha1=\"$(sha1sum "$f" | cut -d' ' -f1)\"/>"
    done
    echo '</game></datafile>'
  } >"$sub/demo.dat"
  echo "== In $sub: quarnel process --flac --no-audio-mp3 \"Sample Game.cue\""
  (cd "$sub" && "$QUARNEL" process --flac --no-audio-mp3 "Sample Game.cue")
  echo "   beside the image: $(cd "$sub" && ls -- *.flac *.dump | tr '\n' ' ')"
  mv "$sub"/"Sample Game (Track "*").bin" "$sub/Sample Game.cue" "$sub/originals/"
  echo "== In $sub: the originals moved away; quarnel uncompress \"$data.Z\""
  (cd "$sub" && "$QUARNEL" uncompress "$data.Z")
  for f in "$sub"/originals/*; do
    if ! cmp -s "$f" "$sub/$(basename "$f")"; then
      echo "   RESULT: FAILED: the restored \"$(basename "$f")\" differs from the dump's file"
      return 1
    fi
  done
  echo "   RESULT: every file of the dump, cue sheet included, came back byte for byte"
  echo "== In $sub: quarnel verify \"$data.Z\" --dat demo.dat"
  (cd "$sub" && "$QUARNEL" verify "$data.Z" --dat demo.dat)
  echo
}

demo() {
  DEMO=$(mktemp -d "$PWD/demo-$(date +%Y%m%d-%H%M%S)-XXXX")
  echo "== Writing the sample disc to $DEMO"
  "$QUARNEL" sample "$DEMO"
  echo
  echo "== Analysing $DEMO/sample.bin"
  "$QUARNEL" analyse "$DEMO/sample.bin"
  echo
  echo "== Writing the analysis as JSON to $DEMO/analysis.json"
  "$QUARNEL" analyse "$DEMO/sample.bin" --json >"$DEMO/analysis.json" 2>/dev/null
  DATA_TRACK_END=$(grep -o '"dataTrackEnd":[0-9]*' "$DEMO/analysis.json" | sed 's/.*://')
  local video xa
  video=$(first_medium "$DEMO/analysis.json" video)
  xa=$(first_medium "$DEMO/analysis.json" xa)
  echo
  echo "== Maximum compression (bzip2, .bz), nothing ripped"
  pack_and_restore bz "$DEMO/kind1" "" --maximum
  echo "== Normal compression (zlib, .Z), nothing ripped"
  pack_and_restore Z "$DEMO/kind2" "" --normal
  echo "== Video $video and XA stream $xa ripped: the XA stream makes it the XA kind (.ZNX)"
  pack_and_restore ZNX "$DEMO/kind3" "$video,$xa" --rip "$video,$xa"
  echo "== XA streams to MP3: every XA record is decoded to WAV, encoded to MP3 by lame and"
  echo "   appended to the data file as the XA stream section"
  mp3_run "$DEMO/kind4" --xa-mp3
  echo "== Audio tracks to MP3 (the default): the CD-DA tracks are copied to raw files, encoded"
  echo "   to MP3 and appended as the audio track section"
  mp3_run "$DEMO/kind5"
  echo "== One file per track: \"Sample Game (Track N).bin\" and Sample Game.cue, processed through the sheet"
  track_set_run "$DEMO/set"
  echo "== The whole dump kept: the audio tracks as FLAC beside the image, every file given back"
  whole_dump_run "$DEMO/whole"
  echo "== Verifying every compressed image made: blocks, sections and checksums, nothing written"
  local images=("$DEMO"/kind*/sample.bin.* "$DEMO/set/Sample Game (Track 1).bin.Z"
    "$DEMO/whole/Sample Game (Track 1).bin.Z")
  local datafiles=() f
  for f in "${images[@]}"; do
    case $f in *.table | *.index) ;; *) datafiles+=("$f") ;; esac
  done
  "$QUARNEL" verify "${datafiles[@]}"
  echo "== Done; the files are in $DEMO"
}

build
if [[ $# -eq 1 && $1 == demo ]]; then
  demo
else
  exec build/quarnel "$@"
fi
