#!/usr/bin/env bash
# Builds quarnel (Release, in build/) and runs it.
#   ./run.sh demo      writes the sample disc to a fresh folder and analyses it
#   ./run.sh ARGS...   runs build/quarnel ARGS...
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ pkg-config zlib1g-dev libbz2-dev libgtest-dev libbenchmark-dev)

install_packages() {
  local missing=() p status
  for p in "${PACKAGES[@]}"; do
    status=$(dpkg -s "$p" 2>/dev/null || true)
    [[ $status == *"Status: install ok installed"* ]] || missing+=("$p")
  done
  if ((${#missing[@]} == 0)); then return 0; fi
  local sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  echo "== Installing ${missing[*]}" >&2
  "${sudo[@]}" apt-get update >&2
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}" >&2
}

build() {
  install_packages
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
  cmake --build build --target quarnel >&2
}

demo() {
  local dir
  dir=$(mktemp -d "$PWD/demo-$(date +%Y%m%d-%H%M%S)-XXXX")
  echo "== Writing the sample disc to $dir"
  build/quarnel sample "$dir"
  echo
  echo "== Analysing $dir/sample.bin"
  build/quarnel analyse "$dir/sample.bin"
  echo
  echo "== Writing the analysis as JSON to $dir/analysis.json"
  build/quarnel analyse "$dir/sample.bin" --json >"$dir/analysis.json" 2>/dev/null
  echo
  echo "== Done; the files are in $dir"
}

build
if [[ $# -eq 1 && $1 == demo ]]; then
  demo
else
  exec build/quarnel "$@"
fi
