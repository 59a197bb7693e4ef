#!/usr/bin/env bash
# Builds the fuzzing harnesses with clang (build-fuzz/) and runs each one on a copy of its
# generated seed corpus for FUZZ_SECONDS (60 by default), FUZZ_JOBS at once (the core count). A
# crash, a sanitizer report, a leak, an input that runs longer than 10 s or one that needs more
# than 2 GB fails, and the harness, the reproducer's path and a hex dump of it are printed. Rerun one with: build-fuzz/fuzz/HARNESS FILE
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/packages.sh
source scripts/packages.sh

install_packages cmake ninja-build pkg-config zlib1g-dev libbz2-dev libssl-dev libpugixml-dev \
  libmpg123-dev libzip-dev libflac-dev "${FUZZ_PACKAGES[@]}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQUARNEL_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz

seconds=${FUZZ_SECONDS:-60}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run=build-fuzz/fuzz-run
failed=()
# The harnesses write their inputs as files: in memory where there is a memory file system.
if [[ -z ${TMPDIR:-} && -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi
# Runs one harness on a fresh copy of its seeds; its log, exit status and run time land in $work.
fuzz_one() {
  local harness=$1 maxLen=$2 work=$run/$1 status=0 started=$SECONDS
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp build-fuzz/fuzz-seeds/"$harness"/* "$work/corpus/"
  # The outer limit catches a harness that stops answering altogether.
  timeout -k 10 $((seconds + 120)) build-fuzz/fuzz/"$harness" "$work/corpus" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$maxLen" \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$work/log" 2>&1 || status=$?
  echo "$status" >"$work/status"
  echo $((SECONDS - started)) >"$work/seconds"
}

# Harness and its largest input: a few sectors, a sheet, a small image, a disc set's description
# (a few bytes per file and per sheet line), a small compressed image (twice), a small DAT, a short
# MP3 or WAV. As many run at once as there are cores: each still gets its full time.
harnesses=(fuzz_xa_decoder:8192 fuzz_cue_sheet:4096 fuzz_analysis:131072 fuzz_disc_set:1024
  fuzz_uncompress:65536 fuzz_verify:65536 fuzz_dat:8192 fuzz_sound:32768)
parallel=${FUZZ_JOBS:-$(nproc)}
echo "== Fuzzing ${#harnesses[@]} harnesses for $seconds s each, $parallel at a time"
for entry in "${harnesses[@]}"; do
  while (($(jobs -rp | wc -l) >= parallel)); do wait -n || true; done
  fuzz_one "${entry%%:*}" "${entry##*:}" &
done
wait

for entry in "${harnesses[@]}"; do
  harness=${entry%%:*}
  work=$run/$harness
  status=$(cat "$work/status" 2>/dev/null || echo '?')
  echo "== $harness ran $(cat "$work/seconds" 2>/dev/null || echo '?') s, $(grep -oP \
    'stat::number_of_executed_units: \K[0-9]+' "$work/log" || echo '?') inputs"
  reproducers=("$work"/artifacts/*)
  if [[ $status == 0 && ! -e ${reproducers[0]} ]]; then continue; fi
  failed+=("$harness")
  echo "== FAILED: $harness (exit status $status)"
  tail -n 80 "$work/log"
  for reproducer in "${reproducers[@]}"; do
    [[ -e $reproducer ]] || continue
    echo "== Reproducer: $reproducer ($(stat -c %s "$reproducer") bytes; first 1 KiB below)"
    echo "== Run again with: build-fuzz/fuzz/$harness $reproducer"
    head -c 1024 "$reproducer" | od -A x -t x1z -v
  done
done

if ((${#failed[@]} != 0)); then
  echo "== Fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "== Fuzzing found nothing"
