#!/usr/bin/env bash
# Builds everything in build/ (tests included) and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ pkg-config zlib1g-dev libbz2-dev libgtest-dev libbenchmark-dev
  qt6-base-dev libxcb1-dev ffmpeg lame)

install_packages() {
  local missing=() p status
  for p in "${PACKAGES[@]}"; do
    status=$(dpkg -s "$p" 2>/dev/null || true)
    [[ $status == *"Status: install ok installed"* ]] || missing+=("$p")
  done
  if ((${#missing[@]} == 0)); then return 0; fi
  local sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  echo "== Installing ${missing[*]}"
  "${sudo[@]}" apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}"
}

install_packages
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_TESTS=ON
cmake --build build
ctest --test-dir build --output-on-failure
